// Refused jobs: the refusal text, a failure status, MPI finalised (the
// launcher sees no abnormal end), and no results file.
#include <gtest/gtest.h>

#include "mpi_job.h"

namespace vellastron_test {
namespace {

const std::string thread_refusal = "MPI do not Support Multiple thread\n";

std::string process_count_refusal() {
  return "\nKoravel ::  Vellastron Benchmark MultiProcessor Memory for Windows Clusters on Zoz Az "
         "system 2023.03.06.\n"
         "Copyright (c) 2023 the Vellastron project contributors. Free to use, no warranty.\n"
         "Support: open an issue in the Vellastron project's tracker.\n"
         "\n"
         "The number of threads has reached the limits, the program terminates.\n"
         "\n";
}

struct RefusalCase {
  const char* what;
  int processes;
  const char* thread_level;  // provided level to report, or null
  const char* world_size;    // size to report, or null
  std::string console;
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, WritesItsTextEndsWithFailureAndCreatesNoFile) {
  const RefusalCase& c = GetParam();
  TemporaryDirectory directory;
  Job job;
  job.processes = c.processes;
  if (c.thread_level) job.environment["VELLASTRON_TEST_THREAD_LEVEL"] = c.thread_level;
  if (c.world_size) job.environment["VELLASTRON_TEST_WORLD_SIZE"] = c.world_size;

  JobResult result = run_job(job, directory.path());

  EXPECT_EQ(result.exit_status, 1) << result.errors;
  EXPECT_EQ(result.console, c.console);
  EXPECT_TRUE(directory.files().empty());
  // Every process finalised: no launcher reports an abnormal end.
  for (const char* abnormal : {"without calling \"finalize\"", "BAD TERMINATION", "MPI_ABORT"}) {
    EXPECT_EQ(result.errors.find(abnormal), std::string::npos) << result.errors;
  }
}

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    ::testing::Values(
        RefusalCase{"thread_level_one_process", 1, "0", nullptr, thread_refusal},
        RefusalCase{"thread_level_every_process", 3, "2", nullptr, repeated(thread_refusal, 3)},
        // Only the root writes; the workers finalise in silence.
        RefusalCase{"process_count_4097", 3, nullptr, "4097", process_count_refusal()},
        RefusalCase{"thread_level_checked_first", 2, "1", "5000", repeated(thread_refusal, 2)}),
    [](const ::testing::TestParamInfo<RefusalCase>& param_info) { return param_info.param.what; });

// 4096 processes is the largest job admitted: a single real process that
// believes it is one of 4096 gets past the check into its run.
TEST(ProcessCount, FourThousandNinetySixIsAdmitted) {
  TemporaryDirectory directory;
  Job job;
  job.environment["VELLASTRON_TEST_SIMULATED_SIZE"] = "4096";
  fix_calendar(job);
  script_rank(job, 0, "NODE01", "");

  JobResult result = run_job(job, directory.path());

  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_NE(result.console.find("Thread(s): 4096\n"), std::string::npos);
  EXPECT_NE(result.console.find("Thread:4095 @simulated-node-4095 "), std::string::npos);
  EXPECT_EQ(directory.files().size(), 1u);
}

}  // namespace
}  // namespace vellastron_test
