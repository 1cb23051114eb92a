// 64-bit values as two 32-bit halves, high half first.
#pragma once

#include <cstdint>

uint64_t toUint64(uint32_t high, uint32_t low);
void toHiLo(uint64_t value, uint32_t& high, uint32_t& low);
uint32_t getHi(uint64_t value);
uint32_t getLo(uint64_t value);
