// A job of one process: the banner, the baseline report and the closing block,
// exact to the character under a scripted clock; and a kernel that runs out of
// memory for real.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "expected_report.h"
#include "mpi_job.h"

namespace vellastron_test {

std::string expected_report(const std::string& name, const std::string& launch_directory) {
  std::ifstream in(std::string(VELLASTRON_EXPECTED_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  std::string report = text.str();
  const std::string marker = "@DIR@";
  for (auto at = report.find(marker); at != std::string::npos; at = report.find(marker, at)) {
    report.replace(at, marker.size(), launch_directory);
    at += launch_directory.size();
  }
  return report;
}

namespace {

TEST(OneProcessJob, WritesBannerBaselineAndClosingBlockExactly) {
  TemporaryDirectory directory;
  Job job;
  fix_calendar(job);
  // Each pair of readings is one measurement: 0.25 s, 0.5 s and 1.234e-05 s.
  script_rank(job, 0, "NODE01", "0,0.25,0,0.5,0,0.00001234");
  // Arguments on the command line change nothing.
  job.programs = {{benchmark_binary(), "--threads", "8", "-v"}};

  JobResult result = run_job(job, directory.path());

  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.console, expected_report("one_process.console.txt", directory.path()));
  const std::string name = results_name("NODE01", fixed_time_text);
  ASSERT_EQ(directory.files(), std::vector<std::string>{name});
  EXPECT_EQ(directory.read(name), expected_report("one_process.file.txt", directory.path()));
}

long rank_virtual_size_after_start_up(const TemporaryDirectory& directory) {
  Job job;
  job.environment["VELLASTRON_TEST_VMSIZE_FILE"] = directory.path() + "/vmsize";
  job.processes = 2;
  JobResult result = run_job(job, directory.path());
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  std::ifstream sizes(directory.path() + "/vmsize");
  int rank = -1;
  long kib = 0, rank_one_kib = 0;
  while (sizes >> rank >> kib) {
    if (rank == 1) rank_one_kib = kib;
  }
  return rank_one_kib;
}

TEST(OutOfMemory, EndsTheWholeJobNamingRankHostAndKernel) {
  TemporaryDirectory probe;
  long start_up_kib = rank_virtual_size_after_start_up(probe);
  ASSERT_GT(start_up_kib, 0);
  // Room for the allocation power test, not for the low-speed test's 16777216
  // kept blocks (512 MiB and more).
  long limit_kib = start_up_kib + 256 * 1024;

  TemporaryDirectory directory;
  Job job;
  job.preload_shim = false;
  job.timeout_seconds = 240;
  job.programs = {{benchmark_binary()},
                  {"sh", "-c", "ulimit -v " + std::to_string(limit_kib) + "; exec \"$@\"", "sh",
                   benchmark_binary()}};
  JobResult result = run_job(job, directory.path());

  EXPECT_NE(result.exit_status, 0);
  EXPECT_NE(result.exit_status, 124) << "the job hung until the timeout";
  EXPECT_NE(result.exit_status, 137) << "the job hung until the timeout";
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_NE(result.errors.find(std::string("vellastron-memory: rank 1 (") + host +
                               "): out of memory in low_speed_test\n"),
            std::string::npos)
      << result.errors;

  // The lines written before the failure stay in the results file, whole:
  // the banner block, then lines the console shows too (the file's average
  // line has its own wording).
  std::vector<std::string> files = directory.files();
  ASSERT_EQ(files.size(), 1u);
  std::string file_text = directory.read(files[0]);
  ASSERT_FALSE(file_text.empty());
  EXPECT_EQ(file_text.back(), '\n');
  std::vector<std::string> file_lines = split_lines(file_text);
  ASSERT_GE(file_lines.size(), 7u);
  EXPECT_EQ(file_lines[2], "Thread(s): 2");
  EXPECT_EQ(file_lines[6], "Power of Memory Allocation.");
  for (std::string line : file_lines) {
    const std::string file_wording = "per thread  was: ";
    auto at = line.find(file_wording);
    if (at != std::string::npos) line.replace(at, file_wording.size(), "per thread was: ");
    EXPECT_NE(result.console.find(line + "\n"), std::string::npos) << "not on the console: " << line;
  }
}

}  // namespace
}  // namespace vellastron_test
