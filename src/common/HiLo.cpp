#include "common/HiLo.h"

uint64_t toUint64(uint32_t high, uint32_t low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

void toHiLo(uint64_t value, uint32_t& high, uint32_t& low) {
    high = getHi(value);
    low = getLo(value);
}

uint32_t getHi(uint64_t value) {
    return static_cast<uint32_t>(value >> 32);
}
uint32_t getLo(uint64_t value) {
    return static_cast<uint32_t>(value & 0xFFFFFFFFu);
}
