// The three phases' lines, written by one function from their parameters,
// against the texts of the report written out by hand.
#include "cluster/cluster_phase.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace vellastron {
namespace {

struct PhaseCase {
  int phase;
  const char* console;
  const char* file;
};

// Two workers, "n1" at 0.5 s and "a-longer-name" at 0.25 s; the baseline
// rate equals the first worker's, so the improvement is 3.
constexpr double baseline = 33554432.0;

void write_phase(int phase, std::ostream& console, std::ostream& file) {
  const PhaseParameters& parameters = phase_parameters[phase];
  write_phase_header(console, file, parameters);
  write_worker_lines(console, file, parameters, 1, "n1", 0.5, 33554432.0);
  write_worker_lines(console, file, parameters, 2, "a-longer-name", 0.25, 67108864.0);
  double total = 33554432.0 + 67108864.0;
  write_phase_summary(console, file, parameters, PhaseSums{total, total / baseline, total / 2.0});

}

class PhaseReport : public ::testing::TestWithParam<PhaseCase> {};

TEST_P(PhaseReport, WritesEveryLineOnBothChannels) {
  std::ostringstream console, file;
  write_phase(GetParam().phase, console, file);
  EXPECT_EQ(console.str(), GetParam().console);
  EXPECT_EQ(file.str(), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    AllPhases, PhaseReport,
    ::testing::Values(
        PhaseCase{0,
                  "Multi-Thread Enabled:\n"
                  "\n"
                  "Power of Memory Allocation.\n"
                  "Thread:1 @n1 This thread spent: 0.5 Secs. \n"
                  "Thread:1 @n1 It was: 33.5544 Millions Allocations/sec.\n"
                  "Thread:2 @a-longer-name This thread spent: 0.25 Secs. \n"
                  "Thread:2 @a-longer-name It was: 67.1089 Millions Allocations/sec.\n"
                  "\n"
                  "Overall, it was: 100.663 Millions Allocations/sec.\n"
                  "Multi-Thread Improvements: 3 times.\n"
                  "\n"
                  "Among all nodes, the average per thread was: 50.3316 Millions "
                  "Allocations/sec.\n"
                  "\n",
                  "Multi-Thread Enabled:\n"
                  "\n"
                  "Power of Memory Allocation.\n"
                  "Thread:1 @n1 This thread spent: 0.5 Secs. \n"
                  "Thread:1 @n1 It was: 33.5544 Millions Allocations/sec.\n"
                  "Thread:2 @a-longer-name This thread spent: 0.25 Secs. \n"
                  "Thread:2 @a-longer-name It was: 67.1089 Millions Allocations/sec.\n"
                  "\n"
                  "Overall, it was: 100.663 Millions Allocations/sec.\n"
                  "Multi-Thread Improvements: 3 times.\n"
                  "\n"
                  "Among all nodes, the average per thread  was: 50.3316 Millions "
                  "Allocations/sec.\n"
                  "\n"},
        PhaseCase{1,
                  "\n"
                  "Multi-Thread Enabled:\n"
                  "\n"
                  "Low speeds:\n"
                  "Thread:1 @n1 The system spent: 0.5 Secs. \n"
                  "Thread:1 @n1 It was: 33.5544 Millions Executions/sec.\n"
                  "Conventionally, it was: 512 MB/sec.\n"
                  "Thread:2 @a-longer-name The system spent: 0.25 Secs. \n"
                  "Thread:2 @a-longer-name It was: 67.1089 Millions Executions/sec.\n"
                  "Conventionally, it was: 1024 MB/sec.\n"
                  "\n"
                  "Overall, It was: 100.663 Millions Executions/sec.\n"
                  "Conventionally, it was: 1536 MB/sec.\n"
                  "\n"
                  "Multi-Thread Improvements: 3 times.\n"
                  "\n"
                  "Among all nodes, the average per thread was: 50.3316 Millions Millions "
                  "Executions/sec.\n"
                  "Conventionally, it was: 768 MB/sec.\n"
                  "\n",
                  "\n"
                  "Multi-Thread Enabled:\n"
                  "\n"
                  "Low speeds:\n"
                  "Thread:1 @n1 The spent: 0.5 Secs. \n"
                  "Thread:1 @n1 It was: 33.5544 Millions Executions/sec.\n"
                  "Conventionally, it was: 512 MB/sec.\n"
                  "Thread:2 @a-longer-name The spent: 0.25 Secs. \n"
                  "Thread:2 @a-longer-name It was: 67.1089 Millions Executions/sec.\n"
                  "Conventionally, it was: 1024 MB/sec.\n"
                  "\n"
                  "Overall, It was: 100.663 Millions Executions/sec.\n"
                  "Conventionally, it was: 1536 MB/sec.\n"
                  "\n"
                  "Multi-Thread Improvements: 3 times.\n"
                  "\n"
                  "Among all nodes, the average per thread  was: 50.3316 Millions "
                  "Allocations/sec.\n"
                  "Conventionally, it was: 768 MB/sec.\n"
                  "\n"},
        PhaseCase{2,
                  "\n"
                  "Multi-Thread Enabled:\n"
                  "\n"
                  "High speeds:\n"
                  "Thread:1 @n1 The system spent: 0.5 Secs. \n"
                  "Thread:1 @n1 It was: 33.5544 Millions Executions/sec.\n"
                  "Conventionally, it was: 256 MB/sec.\n"
                  "Thread:2 @a-longer-name The system spent: 0.25 Secs. \n"
                  "Thread:2 @a-longer-name It was: 67.1089 Millions Executions/sec.\n"
                  "Conventionally, it was: 512 MB/sec.\n"
                  "\n"
                  "Overall, It was: 100.663 Millions Executions/sec.\n"
                  "Conventionally, it was: 768 MB/sec.\n"
                  "\n"
                  "Multi-Thread Improvements: 3 times.\n"
                  "\n"
                  "Among all nodes, the average per thread was: 50.3316 Millions Millions "
                  "Executions/sec.\n"
                  "Conventionally, it was: 384 MB/sec.\n",
                  "\n"
                  "Multi-Thread Enabled:\n"
                  "\n"
                  "High speeds:\n"
                  "Thread:1 @n1 The system spent: 0.5 Secs. \n"
                  "Thread:1 @n1 It was: 33.5544 Millions Executions/sec.\n"
                  "Conventionally, it was: 256 MB/sec.\n"
                  "Thread:2 @a-longer-name The system spent: 0.25 Secs. \n"
                  "Thread:2 @a-longer-name It was: 67.1089 Millions Executions/sec.\n"
                  "Conventionally, it was: 512 MB/sec.\n"
                  "\n"
                  "Overall, It was: 100.663 Millions Executions/sec.\n"
                  "Conventionally, it was: 768 MB/sec.\n"
                  "\n"
                  "Multi-Thread Improvements: 3 times.\n"
                  "\n"
                  "Among all nodes, the average per thread  was: 50.3316 Millions "
                  "Allocations/sec.\n"
                  "Conventionally, it was: 384 MB/sec.\n"}));

}  // namespace
}  // namespace vellastron
