// The record streams of answers: decoded from a buffer (the default channel)
// and read from a descriptor as a caller reads its answer.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/EvReturnData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<EvReturnData::Stream> streams;
    if (EvReturnData::parseStreams(text, streams)) {
        for (const EvReturnData::Stream& s : streams)
            for (const EvReturnData::Record& r : s.records)
                r.asInt();
    }
    // A pipe holds the whole input (inputs are capped below its size).
    if (size > 60000)
        return 0;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return 0;
    const bool written = ::write(fds[1], data, size) == static_cast<ssize_t>(size);
    ::close(fds[1]);
    EvReturnData::Stream one;
    while (written && EvReturnData::readStream(fds[0], one))
        one = EvReturnData::Stream();
    ::close(fds[0]);
    return 0;
}
