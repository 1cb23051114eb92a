#include "platform/EvReturnData.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/PlatformHome.h"

namespace {

// A field longer than this is taken as a damaged stream by readers.
constexpr uint32_t kMaxFieldLength = 64u << 20;
constexpr uint32_t kReadPiece = 64u << 10;

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>(v >> (8 * i)));
}

void putI64(std::string& out, int64_t value) {
    const uint64_t v = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>(v >> (8 * i)));
}

uint64_t getLE(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes; i-- > 0;)
        v = (v << 8) | p[i];
    return v;
}

// Pulls bytes from some source; false when they are not all there.
template <typename Source> bool decodeStream(Source&& take, EvReturnData::Stream& out) {
    unsigned char head[12];
    if (!take(head, 12))
        return false;
    out.messageType = static_cast<uint32_t>(getLE(head, 4));
    out.seqNo = static_cast<int64_t>(getLE(head + 4, 8));
    out.records.clear();
    for (;;) {
        unsigned char fieldHead[8];
        if (!take(fieldHead, 8))
            return false;
        EvReturnData::Record r;
        r.field = static_cast<uint32_t>(getLE(fieldHead, 4));
        const uint32_t length = static_cast<uint32_t>(getLE(fieldHead + 4, 4));
        if (length > kMaxFieldLength)
            return false;
        // Grown as the bytes arrive: a damaged length must not make a reader
        // allocate and clear the whole cap before the field's first byte.
        for (uint32_t got = 0; got < length;) {
            const uint32_t piece = std::min(length - got, kReadPiece);
            r.bytes.resize(got + piece);
            if (!take(reinterpret_cast<unsigned char*>(&r.bytes[got]), piece))
                return false;
            got += piece;
        }
        out.records.push_back(std::move(r));
        if (out.records.back().field == EvReturnData::kEndField)
            return true;
    }
}

} // namespace

int CQiSocket::sendAll(const void* data, size_t length, int timeoutSeconds) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        struct pollfd pfd = {fd_, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, timeoutSeconds * 1000);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            if (ready == 0)
                errno = EAGAIN;
            return -1;
        }
        const ssize_t n = ::send(fd_, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

int64_t EvReturnData::Record::asInt() const {
    if (bytes.size() != 8)
        return 0;
    return static_cast<int64_t>(getLE(reinterpret_cast<const unsigned char*>(bytes.data()), 8));
}

EvReturnData::EvReturnData(uint32_t messageType, int64_t seqNo, CQiSocket* socket, bool,
                           COxNetwork*)
    : socket_(socket) {
    putU32(pending_, messageType);
    putI64(pending_, seqNo);
}

EvReturnData::~EvReturnData() {
    // A stream abandoned without end still tells its reader it is over.
    end(-1);
}

std::string EvReturnData::defaultChannelPath() {
    return platform::homePath(kDefaultChannel);
}

void EvReturnData::add(uint32_t field, int64_t value) {
    if (ended_)
        return;
    putU32(pending_, field);
    putU32(pending_, 8);
    putI64(pending_, value);
}

void EvReturnData::add(uint32_t field, const char* bytes, size_t length) {
    if (ended_)
        return;
    putU32(pending_, field);
    putU32(pending_, static_cast<uint32_t>(length));
    pending_.append(bytes, length);
}

void EvReturnData::send(uint32_t field, int64_t value) {
    add(field, value);
    flush();
}

void EvReturnData::dumpBuffer(int) {
    flush();
}

void EvReturnData::end(int status) {
    if (ended_)
        return;
    putU32(pending_, kEndField);
    putU32(pending_, 4);
    putU32(pending_, static_cast<uint32_t>(status));
    ended_ = true;
    if (!socket_) {
        // The whole stream in one append: O_APPEND writes of concurrent
        // processes land one after the other.
        const int fd = platform::openCreating(defaultChannelPath(), O_WRONLY | O_APPEND, 0644);
        if (fd < 0 ||
            ::write(fd, pending_.data(), pending_.size()) != static_cast<ssize_t>(pending_.size()))
            healthy_ = false;
        if (fd >= 0)
            ::close(fd);
        pending_.clear();
        return;
    }
    flush();
}

void EvReturnData::flush() {
    if (!socket_ || pending_.empty())
        return;
    if (healthy_ && socket_->sendAll(pending_.data(), pending_.size(), kSendTimeoutSeconds) != 0)
        healthy_ = false;
    pending_.clear();
}

bool EvReturnData::readStream(int fd, Stream& out) {
    auto take = [fd](unsigned char* p, size_t n) {
        while (n > 0) {
            const ssize_t r = ::read(fd, p, n);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    };
    return decodeStream(take, out);
}

bool EvReturnData::parseStreams(const std::string& data, std::vector<Stream>& out) {
    size_t at = 0;
    auto take = [&](unsigned char* p, size_t n) {
        if (data.size() - at < n)
            return false;
        std::memcpy(p, data.data() + at, n);
        at += n;
        return true;
    };
    while (at < data.size()) {
        Stream s;
        if (!decodeStream(take, s))
            return false;
        out.push_back(std::move(s));
    }
    return true;
}
