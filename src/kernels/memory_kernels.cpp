// The three memory kernels: the only code whose time the benchmark reports.
//
// Rules for these loops:
//  1. Each operation performs exactly its steps, in order, in every iteration:
//     allocation from the ordinary single-object (or array) new, the store of
//     the loop index, the read back, the store to sink, the release.
//  2. Every step goes through a volatile access, because an optimiser may
//     otherwise legally delete it: GCC and Clang remove a plain
//     new/store/delete loop outright, and GCC drops a plain store into a block
//     that is released right after. A volatile store into each block, a
//     volatile read back, volatile element stores and a volatile sink keep
//     every allocation, store, read and release in place, one 8-byte store
//     per element, in ascending order, with no bulk fill and no merged
//     iterations.
//  3. This file is its own translation unit, built without -ffast-math and
//     without link-time optimisation, so no caller's context can change it.
//  4. The blocks of the low-speed test and the array of the high-speed test
//     are never released: they stay until the process ends.
#include "kernels/memory_kernels.h"

namespace vellastron {

volatile std::uint64_t sink = 0;

void allocation_power_test() {
  for (std::uint64_t i = 0; i < iteration_count; ++i) {
    std::uint64_t* block = new std::uint64_t;
    *static_cast<volatile std::uint64_t*>(block) = i;
    delete block;
  }
}

void low_speed_test() {
  sink = 0;
  for (std::uint64_t i = 0; i < iteration_count; ++i) {
    volatile std::uint64_t* block = new std::uint64_t;
    *block = i;
    sink = *block;
  }
}

void high_speed_test() {
  volatile std::uint64_t* elements = new std::uint64_t[iteration_count];
  sink = 0;
  for (std::uint64_t i = 0; i < iteration_count; ++i) {
    elements[i] = i;
    sink = i;
  }
}

}  // namespace vellastron
