#include "mpi_job.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vellastron_test {

const char* const fixed_time_text = "local date 2024.11.05 time 09.41.07.txt";

const char* flavour() { return VELLASTRON_MPI_FLAVOUR; }
std::string benchmark_binary() { return VELLASTRON_BINARY; }

void script_rank(Job& job, int rank, const std::string& name, const std::string& clock_readings) {
  if (!name.empty()) job.environment["VELLASTRON_TEST_NAME_" + std::to_string(rank)] = name;
  if (!clock_readings.empty()) {
    job.environment["VELLASTRON_TEST_WTIME_" + std::to_string(rank)] = clock_readings;
  }
}

void fix_calendar(Job& job) {
  job.environment["VELLASTRON_TEST_EPOCH"] = "1730799667";  // 2024-11-05 09:41:07 UTC
  job.environment["TZ"] = "UTC";
}

namespace {

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> launcher_command(const Job& job) {
  std::vector<std::string> command{VELLASTRON_MPIEXEC};
  std::map<std::string, std::string> environment = job.environment;
  if (job.preload_shim) environment["LD_PRELOAD"] = VELLASTRON_SHIM;
  bool openmpi = std::string(flavour()) == "openmpi";
  if (openmpi) {
    command.insert(command.end(), {"--allow-run-as-root", "--oversubscribe"});
    for (const auto& [name, value] : environment) {
      command.insert(command.end(), {"-x", name + "=" + value});
    }
  } else {
    for (const auto& [name, value] : environment) {
      command.insert(command.end(), {"-genv", name, value});
    }
  }
  std::vector<std::vector<std::string>> programs = job.programs;
  if (programs.empty()) programs.push_back({benchmark_binary()});
  int per_program = job.programs.empty() ? job.processes : 1;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    if (i > 0) command.push_back(":");
    command.insert(command.end(), {"-np", std::to_string(per_program)});
    command.insert(command.end(), programs[i].begin(), programs[i].end());
  }
  return command;
}

}  // namespace

JobResult run_job(const Job& job, const std::string& working_directory) {
  char out_pattern[] = "/tmp/vellastron-job-out-XXXXXX";
  char err_pattern[] = "/tmp/vellastron-job-err-XXXXXX";
  int out_fd = mkstemp(out_pattern);
  int err_fd = mkstemp(err_pattern);
  if (out_fd < 0 || err_fd < 0) throw std::runtime_error("cannot create capture files");
  close(out_fd);
  close(err_fd);

  std::string script = "exec timeout --kill-after=15 " +
                       std::to_string(job.timeout_seconds);
  for (const std::string& word : launcher_command(job)) script += " " + quote(word);
  script += " </dev/null >" + quote(out_pattern) + " 2>" + quote(err_pattern);

  pid_t child = fork();
  if (child == 0) {
    if (chdir(working_directory.c_str()) != 0) _exit(126);
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);

  JobResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.console = read_file(out_pattern);
  result.errors = read_file(err_pattern);
  unlink(out_pattern);
  unlink(err_pattern);
  return result;
}

TemporaryDirectory::TemporaryDirectory() {
  char pattern[] = "/tmp/vellastron-job-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot create a directory");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::string command = "rm -rf " + quote(path_);
  if (std::system(command.c_str()) != 0) {
    // Nothing more to do: the directory stays under /tmp.
  }
}

std::vector<std::string> TemporaryDirectory::files() const {
  std::vector<std::string> names;
  if (DIR* directory = opendir(path_.c_str())) {
    while (dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
  }
  return names;
}

std::string TemporaryDirectory::read(const std::string& name) const {
  return read_file(path_ + "/" + name);
}

std::string results_name(const std::string& host, const std::string& time_text) {
  return "results_memory_windows_clusters_mac_mx @ " + host + " @ " + time_text;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace vellastron_test
