// Stand-in for the platform's network server: the sessions a job process
// holds to its peers, addressed by 64-bit handles.
//
// Sessions live in the process. A send is recorded, not transmitted:
// sent () lists every message in order with its handle, kind, type, body and
// time-out. Tests script failures with failNext (step, error text): the next
// call of that step fails with the text. A session is held between
// AcquireSession and ReleaseSession; a held session cannot be acquired again.
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/CNMessageBase.h"

// A buffer handed to an XDR send.
struct oxsDatabuf_v2 {
    const void* data;
    uint32_t length;
};

// The index-creation status record of the XDR protocol: one 8-byte text field.
struct FSICreateIndexStatus {
    char status[8];
};

class COxNetworkServer;

class COxSession {
public:
    COxSession(COxNetworkServer& server, long long handle) : server_(server), handle_(handle) {}
    COxSession(const COxSession&) = delete;
    COxSession& operator=(const COxSession&) = delete;

    long long getHandle() const { return handle_; }
    // 0, or -1 with the server's error text.
    int SendXDRMessage(unsigned int type, const oxsDatabuf_v2& body, int timeout);
    int SendXMLMessage(const CNMessageBase& message, int timeout);

private:
    COxNetworkServer& server_;
    long long handle_;
};

class COxNetworkServer {
public:
    enum Step { Acquire, SendXdr, SendXml, Release };
    struct Sent {
        Step kind;
        long long handle;
        unsigned int type; // XDR message type
        std::string body;  // XDR body bytes
        CNMessageBase xml; // XML message
        int timeout;
    };

    COxNetworkServer() = default;
    COxNetworkServer(const COxNetworkServer&) = delete;
    COxNetworkServer& operator=(const COxNetworkServer&) = delete;

    // Opens a session to a peer and returns its handle (never 0).
    long long openSession();
    // The session of the handle, held until released; null when the handle is
    // unknown, the session is held, or a failure was scripted (getErrorText).
    COxSession* AcquireSession(long long handle);
    // 0, or -1 with the error text; the session is released either way.
    int ReleaseSession(COxSession* session);
    const char* getErrorText() const { return error_.c_str(); }

    void failNext(Step step, const std::string& errorText);
    const std::vector<Sent>& sent() const { return sent_; }
    bool isHeld(long long handle) const;
    unsigned long getAcquireCount() const { return acquires_; }

private:
    friend class COxSession;
    // Consumes a scripted failure of the step; false (error text set) when one was due.
    bool proceed(Step step);
    int record(Sent sent);

    struct Slot {
        std::unique_ptr<COxSession> session;
        bool held = false;
    };
    std::map<long long, Slot> sessions_;
    std::deque<std::pair<Step, std::string>> failures_;
    std::vector<Sent> sent_;
    std::string error_;
    long long nextHandle_ = 1;
    unsigned long acquires_ = 0;
};
