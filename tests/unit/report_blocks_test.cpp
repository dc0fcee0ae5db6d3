#include "run/report_blocks.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace vellastron {
namespace {

const std::string banner =
    "Koravel :: Vellastron Benchmark MultiProcessor Memory for Windows Clusters on Zoz Az system "
    "2023.03.06.";

TEST(ReportBlocks, BannerOpensBothChannels) {
  std::ostringstream console, file;
  write_banner_lines(console, file, 4);
  EXPECT_EQ(console.str(), "\n" + banner + "\n" + rights_notice_line + "\n" +
                               support_contact_line +
                               "\n\n\n\nThread(s): 4\n\nForce to be single thread.\n\n");
  EXPECT_EQ(file.str(), banner + "\n\nThread(s): 4\n\nForce to be single thread.\n\n");
}

TEST(ReportBlocks, NoticeLinesAreOneLineEachAndNameTheProject) {
  for (const std::string line : {rights_notice_line, support_contact_line}) {
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("Vellastron"), std::string::npos) << line;
  }
}

TEST(ReportBlocks, ProcessCountRefusalHasTwoBlanksAfterTheDoubleColon) {
  std::ostringstream console;
  write_process_count_refusal(console);
  EXPECT_EQ(console.str(),
            "\nKoravel ::  Vellastron Benchmark MultiProcessor Memory for Windows Clusters on Zoz "
            "Az system 2023.03.06.\n" +
                std::string(rights_notice_line) + "\n" + support_contact_line +
                "\n\nThe number of threads has reached the limits, the program terminates.\n\n");
}

TEST(ReportBlocks, ThreadLevelRefusalIsOneLine) {
  EXPECT_STREQ(thread_level_refusal_text, "MPI do not Support Multiple thread\n");
}

TEST(ReportBlocks, ClosingLinesNameTheFileOnlyAsSavedWhenItWas) {
  std::ostringstream saved, lost;
  write_closing_lines(saved, "/runs/r.txt", true);
  write_closing_lines(lost, "/runs/r.txt", false);
  EXPECT_EQ(saved.str(),
            "\n\nResults have been saved in a file and you can find it at: /runs/r.txt\n\n"
            "Press Enter to Exit.\n");
  EXPECT_EQ(lost.str(),
            "\n\nResults could not be saved in a file at: /runs/r.txt\n\nPress Enter to Exit.\n");
}

}  // namespace
}  // namespace vellastron
