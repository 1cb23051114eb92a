// The platform's record stream: a typed message with a sequence number and
// numbered fields, returned to a requester over its socket or, when it has
// none, appended to the default channel file of the platform home.
//
// Framing (every integer little-endian):
//   opening record  [u32 message type][i64 sequence number]
//   field record    [u32 field id][u32 length][length bytes]
//                   (an integer field is 8 bytes: a little-endian i64)
//   end record      [u32 kEndField][u32 4][i32 status]
// A stream is the opening record, its fields in the order added, then the
// end record. On a socket, records go out when send, dumpBuffer or end is
// called; on the default channel the whole stream is appended in one write
// at end, so streams of concurrent processes never interleave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class COxNetwork;

// A borrowed descriptor of a connected socket (closed by its owner).
class CQiSocket {
public:
    explicit CQiSocket(int fd) : fd_(fd) {}
    int getDescriptor() const { return fd_; }
    // Sends everything, waiting at most timeoutSeconds for the peer to take
    // each part; 0, or -1 with errno set (EAGAIN on a time-out).
    int sendAll(const void* data, size_t length, int timeoutSeconds);

private:
    int fd_;
};

class EvReturnData {
public:
    static constexpr uint32_t kEndField = 0xFFFFFFFFu;
    // Seconds a peer may keep a send waiting.
    static constexpr int kSendTimeoutSeconds = 60;
    // The default channel below the platform home.
    static constexpr const char* kDefaultChannel = "returndata.chan";

    EvReturnData(uint32_t messageType, int64_t seqNo, CQiSocket* socket, bool immediate,
                 COxNetwork* network);
    virtual ~EvReturnData();
    EvReturnData(const EvReturnData&) = delete;
    EvReturnData& operator=(const EvReturnData&) = delete;

    void add(uint32_t field, int64_t value);
    void add(uint32_t field, const char* bytes, size_t length);
    // Adds the field and sends what is pending.
    void send(uint32_t field, int64_t value);
    // Sends what is pending (the reason code is the platform's own).
    void dumpBuffer(int reason);
    // Adds the end record with status, sends and closes the stream; later
    // calls do nothing.
    void end(int status);
    // False once a send failed: the rest of the stream is dropped.
    bool isHealthy() const { return healthy_; }
    bool isEnded() const { return ended_; }

    // The path of the default channel.
    static std::string defaultChannelPath();

    // A decoded record, for readers of a stream.
    struct Record {
        uint32_t field; // kEndField for the end record
        std::string bytes;
        int64_t asInt() const;
    };
    struct Stream {
        uint32_t messageType = 0;
        int64_t seqNo = 0;
        std::vector<Record> records; // up to and including the end record
    };
    // Reads one stream from fd: false on a short read or a malformed record.
    static bool readStream(int fd, Stream& out);
    // Decodes the streams of a buffer (the default channel's contents).
    static bool parseStreams(const std::string& data, std::vector<Stream>& out);

private:
    void flush();

    CQiSocket* socket_;
    std::string pending_;
    bool healthy_ = true;
    bool ended_ = false;
};
