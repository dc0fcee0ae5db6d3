// The results file, for real: names already taken, a directory that is gone,
// a file system that is full, a name the file system refuses. A report that
// was not saved is never announced as saved.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "mpi_job.h"

namespace vellastron_test {
namespace {

const char* const root_clock = "0,0.25,0,0.5,0,1";

Job scripted_one_process_job() {
  Job job;
  fix_calendar(job);
  script_rank(job, 0, "NODE01", root_clock);
  return job;
}

std::string last_lines(const std::string& console) {
  auto lines = split_lines(console);
  return lines.size() < 3 ? "" : lines[lines.size() - 3] + "\n" + lines.back();
}

TEST(ResultsFile, TakenNamesAreKeptAndTheNextFreeOneIsUsed) {
  TemporaryDirectory directory;
  const std::string first = results_name("NODE01", fixed_time_text);
  const std::string second =
      results_name("NODE01", "local date 2024.11.05 time 09.41.07 (2).txt");
  const std::string third = results_name("NODE01", "local date 2024.11.05 time 09.41.07 (3).txt");
  std::ofstream(directory.path() + "/" + first) << "an earlier run\n";
  std::ofstream(directory.path() + "/" + second) << "another earlier run\n";

  JobResult result = run_job(scripted_one_process_job(), directory.path());

  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(directory.read(first), "an earlier run\n");
  EXPECT_EQ(directory.read(second), "another earlier run\n");
  EXPECT_EQ(split_lines(directory.read(third)).at(2), "Thread(s): 1");
  EXPECT_EQ(last_lines(result.console),
            "Results have been saved in a file and you can find it at: " + directory.path() + "/" +
                third + "\nPress Enter to Exit.");
}

struct UnsavedCase {
  const char* what;
  std::string prepare;  // shell commands the rank runs in the launch directory first
  std::string name;     // the root's processor name
  std::string error;    // the line on standard error
  std::string path;     // the path shown, @DIR@ for the launch directory
};

class UnsavedReport : public ::testing::TestWithParam<UnsavedCase> {};

TEST_P(UnsavedReport, IsReportedOnStandardErrorAndInTheClosingLine) {
  const UnsavedCase& c = GetParam();
  TemporaryDirectory directory;
  Job job = scripted_one_process_job();
  script_rank(job, 0, c.name, root_clock);
  if (!c.prepare.empty()) {
    job.programs = {{"sh", "-c", c.prepare + "exec \"$@\"", "sh", benchmark_binary()}};
  }

  JobResult result = run_job(job, directory.path());

  const std::string file = results_name(c.name, fixed_time_text);
  std::string path = c.path;
  if (path == "@DIR@") path = directory.path();
  EXPECT_EQ(result.exit_status, 1) << result.errors;
  EXPECT_NE(result.errors.find("vellastron-memory: " + c.error + " \"" + file + "\": "),
            std::string::npos)
      << result.errors;
  EXPECT_EQ(last_lines(result.console),
            "Results could not be saved in a file at: " + path + "/" + file +
                "\nPress Enter to Exit.");
  // The console report itself is whole.
  EXPECT_NE(result.console.find("Conventionally, it was: 128 MB/sec.\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsavedReport,
    ::testing::Values(
        UnsavedCase{"launch_directory_removed", "mkdir gone && cd gone && rmdir ../gone && ",
                    "NODE01", "cannot create the results file", "(null)"},
        UnsavedCase{"name_refused", "", "rack/node-3", "cannot create the results file", "@DIR@"}),
    [](const auto& param_info) { return param_info.param.what; });

TEST(ResultsFile, AFullFileSystemIsCaughtWhenTheFileIsClosed) {
  TemporaryDirectory directory;
  const std::string full = directory.path() + "/full";
  ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
  if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  // Leave no block free, but inodes enough for the results file.
  int fill_status = std::system(("dd if=/dev/zero of='" + full + "/filler' bs=4k 2>/dev/null").c_str());
  (void)fill_status;

  JobResult result = run_job(scripted_one_process_job(), full);
  std::string written = std::ifstream(full + "/" + results_name("NODE01", fixed_time_text)).good()
                            ? "exists"
                            : "missing";
  umount(full.c_str());

  const std::string file = results_name("NODE01", fixed_time_text);
  EXPECT_EQ(result.exit_status, 1) << result.errors;
  EXPECT_EQ(written, "exists");
  EXPECT_NE(result.errors.find("vellastron-memory: could not write the results file \"" + file +
                               "\": No space left on device"),
            std::string::npos)
      << result.errors;
  EXPECT_EQ(last_lines(result.console), "Results could not be saved in a file at: " + full + "/" +
                                            file + "\nPress Enter to Exit.");
}

}  // namespace
}  // namespace vellastron_test
