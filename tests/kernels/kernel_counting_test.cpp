// The kernels, built with the product's flags, run against replaced global
// operator new/delete that count every allocation and release and look at
// what each block holds. An optimiser that dropped, merged or reordered a
// step would show here as a wrong count or a wrong value.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "kernels/memory_kernels.h"

namespace {

using vellastron::iteration_count;

struct Ledger {
  bool recording = false;
  std::uint64_t single_allocations = 0;
  std::uint64_t single_allocations_of_other_sizes = 0;
  std::uint64_t single_releases = 0;
  std::uint64_t releases_holding_wrong_value = 0;
  std::uint64_t releases_of_other_blocks = 0;
  std::uint64_t array_allocations = 0;
  std::uint64_t array_bytes = 0;
  std::uint64_t array_releases = 0;
  void* last_block = nullptr;
  void* array = nullptr;
  // Every 8-byte block handed out while recording, in order (malloc'd).
  void** blocks = nullptr;
};

Ledger ledger;

void* allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void record_release(void* block) {
  if (block == nullptr || !ledger.recording) return;
  // The value the block holds when it is given back: the allocation power
  // test must have stored its index there.
  std::uint64_t held = *static_cast<volatile std::uint64_t*>(block);
  if (held != ledger.single_releases) ++ledger.releases_holding_wrong_value;
  if (block != ledger.last_block) ++ledger.releases_of_other_blocks;
  ++ledger.single_releases;
}

void start_recording() {
  ledger = Ledger{};
  if (ledger.blocks == nullptr) {
    ledger.blocks = static_cast<void**>(std::malloc(sizeof(void*) * iteration_count));
  }
  ledger.recording = true;
}

}  // namespace

void* operator new(std::size_t size) {
  void* block = allocate(size);
  if (ledger.recording) {
    if (size == sizeof(std::uint64_t)) {
      if (ledger.single_allocations < iteration_count) {
        ledger.blocks[ledger.single_allocations] = block;
      }
      ++ledger.single_allocations;
      ledger.last_block = block;
    } else {
      ++ledger.single_allocations_of_other_sizes;
    }
  }
  return block;
}

void* operator new[](std::size_t size) {
  void* array = allocate(size);
  if (ledger.recording) {
    ++ledger.array_allocations;
    ledger.array_bytes = size;
    ledger.array = array;
  }
  return array;
}

void operator delete(void* block) noexcept {
  record_release(block);
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  record_release(block);
  std::free(block);
}

void operator delete[](void* array) noexcept {
  if (array != nullptr && ledger.recording) ++ledger.array_releases;
  std::free(array);
}

void operator delete[](void* array, std::size_t) noexcept {
  if (array != nullptr && ledger.recording) ++ledger.array_releases;
  std::free(array);
}

namespace {

std::uint64_t kept_blocks_holding_wrong_value() {
  std::uint64_t wrong = 0;
  for (std::uint64_t i = 0; i < iteration_count; ++i) {
    if (*static_cast<volatile std::uint64_t*>(ledger.blocks[i]) != i) ++wrong;
  }
  return wrong;
}

// The kernels run once each, in the benchmark's order, so the high-speed test
// runs while the low-speed test's blocks are still held, as in a real run.
TEST(MemoryKernels, AllocationPowerTestAllocatesWritesAndReleasesEveryBlock) {
  start_recording();
  vellastron::allocation_power_test();
  ledger.recording = false;

  EXPECT_EQ(ledger.single_allocations, iteration_count);
  EXPECT_EQ(ledger.single_releases, iteration_count);
  EXPECT_EQ(ledger.releases_holding_wrong_value, 0u) << "a block was released without its index";
  EXPECT_EQ(ledger.releases_of_other_blocks, 0u) << "a block was kept past its iteration";
  EXPECT_EQ(ledger.single_allocations_of_other_sizes, 0u);
  EXPECT_EQ(ledger.array_allocations, 0u);
}

TEST(MemoryKernels, LowSpeedTestKeepsEveryBlockHoldingItsIndex) {
  vellastron::sink = 12345;
  start_recording();
  vellastron::low_speed_test();
  ledger.recording = false;

  EXPECT_EQ(ledger.single_allocations, iteration_count);
  EXPECT_EQ(ledger.single_releases, 0u);
  EXPECT_EQ(ledger.array_allocations, 0u);
  ASSERT_EQ(ledger.single_allocations, iteration_count);
  EXPECT_EQ(kept_blocks_holding_wrong_value(), 0u);
  EXPECT_EQ(vellastron::sink, iteration_count - 1);
}

TEST(MemoryKernels, HighSpeedTestWritesEveryElementOfOneKeptArray) {
  vellastron::sink = 12345;
  start_recording();
  vellastron::high_speed_test();
  ledger.recording = false;

  EXPECT_EQ(ledger.array_allocations, 1u);
  EXPECT_EQ(ledger.array_bytes, 134217728u);
  EXPECT_EQ(ledger.array_releases, 0u);
  EXPECT_EQ(ledger.single_allocations, 0u);
  ASSERT_NE(ledger.array, nullptr);
  const volatile std::uint64_t* elements = static_cast<std::uint64_t*>(ledger.array);
  std::uint64_t wrong = 0;
  for (std::uint64_t i = 0; i < iteration_count; ++i) {
    if (elements[i] != i) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(vellastron::sink, iteration_count - 1);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::GTEST_FLAG(shuffle) = false;
  return RUN_ALL_TESTS();
}
