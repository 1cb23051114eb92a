// The line map of a results file: one 5-byte entry per line, the byte offset
// of the line's first byte as an unsigned 40-bit number, least significant
// byte first. Entry k lies at byte 5 * k and belongs to line k + 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace jobresults {

constexpr unsigned kMapEntrySize = 5;
// Offsets must stay below this: a line starting at or past it has no entry.
constexpr uint64_t kMapOffsetLimit = 1ull << 40;
// Buffers for results, maps and merges.
constexpr unsigned kResultsBufferSize = 64 * 1024;

// False, with nothing written, when the offset does not fit in 40 bits.
inline bool encodeMapEntry(uint64_t offset, unsigned char* out) {
    if (offset >= kMapOffsetLimit)
        return false;
    for (unsigned i = 0; i < kMapEntrySize; ++i)
        out[i] = static_cast<unsigned char>(offset >> (8 * i));
    return true;
}

// Decoded in 64 bits: a line past 4 GiB keeps its fifth byte.
inline uint64_t decodeMapEntry(const unsigned char* in) {
    uint64_t offset = 0;
    for (unsigned i = kMapEntrySize; i-- > 0;)
        offset = (offset << 8) | in[i];
    return offset;
}

// Finds the line starts of a narrow results file fed chunk by chunk, as the
// line reader counts lines: every LF ends a line; the text after the last LF
// is a line unless it is empty or a lone CR (which the reader drops). Line
// length does not matter: an overlong line is still one line.
class LineStartScanner {
public:
    // Calls emit (offset) for every line start found; false when emit does.
    template <typename Emit> bool feed(const char* data, size_t length, Emit&& emit) {
        const char* p = data;
        const char* end = data + length;
        while (p < end) {
            if (segmentLength_ == 0)
                segmentFirst_ = *p;
            const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
            if (!lf) {
                segmentLength_ += static_cast<uint64_t>(end - p);
                position_ += static_cast<uint64_t>(end - p);
                return true;
            }
            if (!emit(segmentStart_))
                return false;
            position_ += static_cast<uint64_t>(lf - p) + 1;
            segmentStart_ = position_;
            segmentLength_ = 0;
            p = lf + 1;
        }
        return true;
    }
    // The last line, when it has no LF.
    template <typename Emit> bool finish(Emit&& emit) {
        if (segmentLength_ == 0 || (segmentLength_ == 1 && segmentFirst_ == '\r'))
            return true;
        return emit(segmentStart_);
    }
    uint64_t position() const { return position_; }

private:
    uint64_t position_ = 0;
    uint64_t segmentStart_ = 0;
    uint64_t segmentLength_ = 0;
    char segmentFirst_ = 0;
};

} // namespace jobresults
