#include "run/results_file.h"

#include <gtest/gtest.h>
#include <mpi.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace vellastron {
namespace {

std::tm example_time() {
  std::tm time{};
  time.tm_year = 2024 - 1900;
  time.tm_mon = 10;
  time.tm_mday = 5;
  time.tm_hour = 9;
  time.tm_min = 41;
  time.tm_sec = 7;
  return time;
}

const std::string example_name =
    "results_memory_windows_clusters_mac_mx @ NODE01 @ local date 2024.11.05 time 09.41.07.txt";

TEST(ResultsFileName, IsBuiltFromProcessorNameAndLocalTime) {
  EXPECT_EQ(format_time_text(example_time()), "local date 2024.11.05 time 09.41.07.txt");
  EXPECT_EQ(make_results_file_name("NODE01", format_time_text(example_time())), example_name);
}

TEST(ResultsFileName, KeepsTheLongestProcessorNameVerbatim) {
  std::string longest(MPI_MAX_PROCESSOR_NAME - 1, 'n');
  longest.front() = '@';
  longest.back() = ' ';
  std::string name = make_results_file_name(longest.c_str(), format_time_text(example_time()));
  EXPECT_EQ(name.size(), longest.size() + 83);
  EXPECT_EQ(name.substr(41, longest.size()), longest);
}

TEST(ResultsFileName, NumbersCopiesBeforeTheEnding) {
  const std::string stem =
      "results_memory_windows_clusters_mac_mx @ NODE01 @ local date 2024.11.05 time 09.41.07";
  EXPECT_EQ(numbered_results_file_name(example_name, 1), example_name);
  EXPECT_EQ(numbered_results_file_name(example_name, 2), stem + " (2).txt");
  EXPECT_EQ(numbered_results_file_name(example_name, 12), stem + " (12).txt");
}

TEST(ResultsFilePath, JoinsDirectoryAndNameWithoutNormalising) {
  const struct {
    const char* directory;
    const char* expected;
  } cases[] = {
      {"/home/user/runs", "/home/user/runs/r.txt"},
      {"/", "//r.txt"},
      {"/home/user/runs/", "/home/user/runs//r.txt"},
      {nullptr, "(null)/r.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(make_results_file_path(c.directory, "r.txt"), c.expected)
        << (c.directory ? c.directory : "null");
  }
  std::string long_directory(10000, 'd');
  EXPECT_EQ(make_results_file_path(long_directory.c_str(), "r.txt").size(), 10006u);
}

class InTemporaryDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vellastron-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    char* previous = getcwd(nullptr, 0);
    previous_ = previous;
    std::free(previous);
    ASSERT_EQ(chdir(directory_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(previous_.c_str()), 0);
    std::string command = "rm -rf '" + directory_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  static void write(const std::string& name, const std::string& text) {
    std::ofstream(name) << text;
  }
  static std::string read(const std::string& name) {
    std::ifstream in(name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string directory_;
  std::string previous_;
};

TEST_F(InTemporaryDirectory, ReservationTakesTheFirstFreeNameAndLeavesOthersAlone) {
  write(example_name, "first run\n");
  write(numbered_results_file_name(example_name, 2), "second run\n");

  int error_number = -1;
  std::string reserved = reserve_results_file(example_name, error_number);
  EXPECT_EQ(error_number, 0);
  EXPECT_EQ(reserved, numbered_results_file_name(example_name, 3));
  EXPECT_EQ(read(reserved), "");
  EXPECT_EQ(read(example_name), "first run\n");
  EXPECT_EQ(read(numbered_results_file_name(example_name, 2)), "second run\n");

  std::string next = reserve_results_file(example_name, error_number);
  EXPECT_EQ(next, numbered_results_file_name(example_name, 4));
}

TEST_F(InTemporaryDirectory, ReservationReportsWhyTheFileCannotBeCreated) {
  int error_number = 0;
  reserve_results_file("no-such-directory/" + example_name, error_number);
  EXPECT_EQ(error_number, ENOENT);
}

TEST_F(InTemporaryDirectory, StreamWritesLinesAndClosesCleanly) {
  ResultsFileStream stream;
  ASSERT_TRUE(stream.open("report.txt"));
  stream << "Thread(s): " << 4 << std::endl;
  EXPECT_TRUE(stream.close());
  EXPECT_EQ(stream.first_error(), 0);
  EXPECT_EQ(read("report.txt"), "Thread(s): 4\n");
}

TEST(ResultsFileStream, RecordsTheCauseOfAFailedWrite) {
  ResultsFileStream stream;
  ASSERT_TRUE(stream.open("/dev/full"));
  stream << "a line that cannot be stored" << std::endl;
  stream << "and the next one" << std::endl;
  EXPECT_FALSE(stream.close());
  EXPECT_EQ(stream.first_error(), ENOSPC);
}

TEST(ResultsFileStream, ClosingAStreamNeverOpenedFails) {
  ResultsFileStream stream;
  stream << "dropped" << std::endl;
  EXPECT_FALSE(stream.close());
  EXPECT_TRUE(stream.fail());
}

}  // namespace
}  // namespace vellastron
