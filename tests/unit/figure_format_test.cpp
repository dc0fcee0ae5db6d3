// Figures are written with the streams' default formatting: six significant
// digits, scientific notation below 1e-4 and from 1e6 on, no trailing zeros.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>

#include "cluster/cluster_phase.h"
#include "kernels/measurement.h"
#include "run/report_blocks.h"

namespace vellastron {
namespace {

struct FigureCase {
  double value;
  const char* text;
};

class DoubleFigure : public ::testing::TestWithParam<FigureCase> {};

// The improvement line carries its figure unscaled.
TEST_P(DoubleFigure, IsWrittenWithSixSignificantDigits) {
  std::ostringstream console, file;
  PhaseSums sums{1.0, GetParam().value, 1.0};
  write_phase_summary(console, file, phase_parameters[0], sums);
  std::string expected = std::string("Multi-Thread Improvements: ") + GetParam().text + " times.\n";
  EXPECT_NE(console.str().find(expected), std::string::npos) << console.str();
  EXPECT_NE(file.str().find(expected), std::string::npos) << file.str();
}

INSTANTIATE_TEST_SUITE_P(
    EveryMagnitude, DoubleFigure,
    ::testing::Values(FigureCase{3.0, "3"}, FigureCase{0.5, "0.5"}, FigureCase{0.25, "0.25"},
                      FigureCase{67.108864, "67.1089"}, FigureCase{0.0001, "0.0001"},
                      FigureCase{0.00001234, "1.234e-05"}, FigureCase{123456.0, "123456"},
                      FigureCase{999999.4, "999999"}, FigureCase{999999.5, "1e+06"},
                      FigureCase{1234567.0, "1.23457e+06"}, FigureCase{1e100, "1e+100"},
                      FigureCase{-2.5, "-2.5"}, FigureCase{0.0, "0"},
                      FigureCase{std::numeric_limits<double>::infinity(), "inf"},
                      FigureCase{std::numeric_limits<double>::quiet_NaN(), "nan"}));

TEST(IntFigure, IsAPlainSignedDecimal) {
  const struct {
    int value;
    const char* line;
  } cases[] = {{4, "Thread(s): 4\n"}, {4096, "Thread(s): 4096\n"}, {-1, "Thread(s): -1\n"}};
  for (const auto& c : cases) {
    std::ostringstream console, file;
    write_banner_lines(console, file, c.value);
    EXPECT_NE(file.str().find(c.line), std::string::npos) << file.str();
  }
}

TEST(DerivedFigures, FollowFromTheRate) {
  // Half a second for 16777216 operations.
  double rate = rate_of(0.5);
  EXPECT_EQ(rate, 33554432.0);
  EXPECT_EQ(millions_per_second(rate), 33.554432);
  EXPECT_EQ(megabytes_per_second(rate, 16.0), 512.0);
  EXPECT_EQ(megabytes_per_second(rate, 8.0), 256.0);
  EXPECT_EQ(rate_of(0.25), 67108864.0);
}

}  // namespace
}  // namespace vellastron
