#pragma once

// Runs the real benchmark under the real launcher of this build tree, with
// standard input from /dev/null and a timeout around every launch.

#include <map>
#include <string>
#include <vector>

namespace vellastron_test {

struct JobResult {
  int exit_status = -1;  // the launcher's exit status; 124 or 137 when the timeout hit
  std::string console;   // standard output
  std::string errors;    // standard error
};

struct Job {
  int processes = 1;
  // Set in every rank's environment (through the launcher's own options).
  std::map<std::string, std::string> environment;
  bool preload_shim = true;
  int timeout_seconds = 300;
  // The program and its arguments for each process; empty means the benchmark.
  // Several entries describe an MPMD launch, one process each.
  std::vector<std::vector<std::string>> programs;
};

const char* flavour();
std::string benchmark_binary();

// A scripted processor name and clock for one rank.
void script_rank(Job& job, int rank, const std::string& name, const std::string& clock_readings);
// The epoch and zone that fix the results file's time stamp.
void fix_calendar(Job& job);
extern const char* const fixed_time_text;  // the time stamp text that fix_calendar gives

JobResult run_job(const Job& job, const std::string& working_directory);

// A fresh directory under /tmp, removed with its contents on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::string& path() const { return path_; }
  std::vector<std::string> files() const;
  std::string read(const std::string& name) const;

 private:
  std::string path_;
};

std::string results_name(const std::string& host, const std::string& time_text);
std::vector<std::string> split_lines(const std::string& text);

}  // namespace vellastron_test
