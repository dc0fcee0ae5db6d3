// Jobs of several processes: the whole report, exact under scripted clocks and
// names, in rank order whatever the order in which the workers finish; and a
// real-clock job whose figures must add up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <regex>

#include "expected_report.h"
#include "mpi_job.h"

namespace vellastron_test {
namespace {

struct ClusterCase {
  const char* report;  // name of the expected report files
  const char* root_name;
  std::vector<std::pair<std::string, std::string>> workers;  // name, clock readings
  int slow_worker = 0;  // a worker whose every clock reading is delayed for real
};

// The root's baseline is 0.25 s, 0.5 s and 1 s in every case; each pair of
// readings is one measurement.
const char* const root_clock = "0,0.25,0,0.5,0,1";

class ClusterReport : public ::testing::TestWithParam<ClusterCase> {};

TEST_P(ClusterReport, IsExactOnBothChannels) {
  const ClusterCase& c = GetParam();
  TemporaryDirectory directory;
  Job job;
  job.processes = static_cast<int>(c.workers.size()) + 1;
  fix_calendar(job);
  script_rank(job, 0, c.root_name, root_clock);
  for (std::size_t i = 0; i < c.workers.size(); ++i) {
    script_rank(job, static_cast<int>(i) + 1, c.workers[i].first, c.workers[i].second);
  }
  if (c.slow_worker != 0) {
    job.environment["VELLASTRON_TEST_WTIME_DELAY_" + std::to_string(c.slow_worker)] = "2";
  }

  JobResult result = run_job(job, directory.path());

  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.console,
            expected_report(std::string(c.report) + ".console.txt", directory.path()));
  const std::string name = results_name(c.root_name, fixed_time_text);
  ASSERT_EQ(directory.files(), std::vector<std::string>{name});
  EXPECT_EQ(directory.read(name),
            expected_report(std::string(c.report) + ".file.txt", directory.path()));
}

const std::vector<std::pair<std::string, std::string>> three_at_baseline = {
    {"node-long-name-0001", root_clock}, {"n2", root_clock}, {"mid-name", root_clock}};

INSTANTIATE_TEST_SUITE_P(
    Jobs, ClusterReport,
    ::testing::Values(
        // The only worker's rate is the total and the average.
        ClusterCase{"two_processes", "NODE01", {{"worker-with-a-long-name", "0,0.5,0,0.25,0,2"}}},
        // A long name followed by a short one, both unlike the root's.
        ClusterCase{"three_processes",
                    "NODE01",
                    {{"a-very-long-worker-name-07", "0,0.5,0,0.25,0,0.125"},
                     {"w2", "0,0.125,0,1,0,2"}}},
        // Three workers at the root's own rates: improvements of 3.
        ClusterCase{"four_processes", "root-node", three_at_baseline},
        // Worker 1 finishes every phase seconds after worker 3: still reported first.
        ClusterCase{"four_processes", "root-node", three_at_baseline, 1}),
    [](const ::testing::TestParamInfo<ClusterCase>& param_info) {
      return std::string(param_info.param.report) +
             (param_info.param.slow_worker != 0 ? "_first_worker_last_to_finish" : "");
    });

// --- real clock --------------------------------------------------------------

const char* const number = "([-+]?[0-9]+(?:\\.[0-9]+)?(?:e[-+][0-9]+)?)";

// The expected report turned into line patterns: every figure after ": "
// becomes a placeholder, every worker's name this machine's name.
std::vector<std::string> patterns_from(const std::string& report, const std::string& host) {
  std::vector<std::string> patterns;
  for (std::string line : split_lines(report)) {
    for (const char* name : {"node-long-name-0001", "n2", "mid-name", "root-node"}) {
      line = std::regex_replace(line, std::regex("@" + std::string(name) + " "), "@" + host + " ");
    }
    std::string escaped =
        std::regex_replace(line, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    escaped = std::regex_replace(escaped, std::regex(R"(: [-+0-9][-+0-9e\\.]*)"),
                                 std::string(": ") + number);
    patterns.push_back(escaped);
  }
  return patterns;
}

double figure_after(const std::string& line, const std::string& text) {
  auto at = line.find(text);
  return at == std::string::npos ? NAN : std::stod(line.substr(at + text.size()));
}

TEST(RealClockJob, FourProcessesReportPositiveFiguresThatAddUp) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  TemporaryDirectory directory;
  Job job;
  job.processes = 4;
  job.preload_shim = false;
  JobResult result = run_job(job, directory.path());
  ASSERT_EQ(result.exit_status, 0) << result.errors;

  std::vector<std::string> lines = split_lines(result.console);
  std::vector<std::string> patterns =
      patterns_from(expected_report("four_processes.console.txt", directory.path()), host);
  // The closing line names a file whose time stamp is the real one.
  patterns[patterns.size() - 3] = "Results have been saved in a file and you can find it at: .*";
  ASSERT_EQ(lines.size(), patterns.size()) << result.console;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, std::regex(patterns[i])))
        << "line " << i + 1 << ": " << lines[i] << "\n  pattern: " << patterns[i];
    for (std::size_t g = 1; g < match.size(); ++g) {
      double value = std::stod(match[g].str());
      EXPECT_TRUE(std::isfinite(value) && value > 0) << lines[i];
    }
  }

  // Within each phase, the total is the sum of the worker lines as printed
  // and the average a third of it, within the rounding to six digits; the
  // same for the MB/sec lines that follow them.
  struct Sums {
    double rate = 0, megabytes = 0;
  };
  Sums workers, total, average;
  Sums* last = nullptr;
  int phases = 0;
  auto check_phase = [&]() {
    EXPECT_NEAR(total.rate, workers.rate, workers.rate * 2e-5);
    EXPECT_NEAR(average.rate, workers.rate / 3, workers.rate * 2e-5);
    EXPECT_NEAR(total.megabytes, workers.megabytes, workers.megabytes * 2e-5);
    EXPECT_NEAR(average.megabytes, workers.megabytes / 3, workers.megabytes * 2e-5);
    workers = total = average = Sums{};
    ++phases;
  };
  for (const std::string& line : lines) {
    if (line.rfind("Thread:", 0) == 0 && line.find(" It was: ") != std::string::npos) {
      workers.rate += figure_after(line, " It was: ");
      last = &workers;
    } else if (line.rfind("Overall, ", 0) == 0) {
      total.rate = figure_after(line, " was: ");
      last = &total;
    } else if (line.rfind("Among all nodes", 0) == 0) {
      average.rate = figure_after(line, " was: ");
      last = &average;
    } else if (line.rfind("Conventionally, it was: ", 0) == 0 && last != nullptr) {
      last->megabytes += figure_after(line, "Conventionally, it was: ");
    } else if (line.rfind("Multi-Thread Enabled:", 0) == 0 && last != nullptr) {
      check_phase();
    }
  }
  check_phase();
  EXPECT_EQ(phases, 3);
  EXPECT_EQ(directory.files().size(), 1u);
}

}  // namespace
}  // namespace vellastron_test
