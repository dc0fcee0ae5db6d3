#pragma once

#include <cstdint>

namespace vellastron {

constexpr std::uint64_t iteration_count = 16777216;  // 2^24 operations per kernel run

// Written in every operation of the low- and high-speed tests, never read by
// the benchmark itself.
extern volatile std::uint64_t sink;

// Allocate an 8-byte block, write the index into it, release it.
void allocation_power_test();
// Allocate an 8-byte block, write the index, read it back into sink; keep every block.
void low_speed_test();
// Allocate one array of iteration_count elements, write index i into element i
// and into sink; keep the array.
void high_speed_test();

}  // namespace vellastron
