#include "run/report_blocks.h"

#include <iostream>

#include "run/process_state.h"
#include "run/results_file.h"

namespace vellastron {

const char* const banner_line =
    "Koravel :: Vellastron Benchmark MultiProcessor Memory for Windows Clusters on Zoz Az system "
    "2023.03.06.";
const char* const refusal_banner_line =
    "Koravel ::  Vellastron Benchmark MultiProcessor Memory for Windows Clusters on Zoz Az system "
    "2023.03.06.";
const char* const rights_notice_line =
    "Copyright (c) 2023 the Vellastron project contributors. Free to use, no warranty.";
const char* const support_contact_line =
    "Support: open an issue in the Vellastron project's tracker.";
const char* const thread_level_refusal_text = "MPI do not Support Multiple thread\n";

void write_banner_lines(std::ostream& console, std::ostream& file, int process_count) {
  console << std::endl;
  console << banner_line << std::endl;
  console << rights_notice_line << std::endl;
  console << support_contact_line << std::endl;
  console << std::endl;
  console << std::endl;
  console << std::endl;
  console << "Thread(s): " << process_count << std::endl;
  console << std::endl;
  file << banner_line << std::endl;
  file << std::endl;
  file << "Thread(s): " << process_count << std::endl;
  file << std::endl;
  console << "Force to be single thread." << std::endl;
  file << "Force to be single thread." << std::endl;
  console << std::endl;
  file << std::endl;
}

void write_process_count_refusal(std::ostream& console) {
  console << std::endl;
  console << refusal_banner_line << std::endl;
  console << rights_notice_line << std::endl;
  console << support_contact_line << std::endl;
  console << std::endl;
  console << "The number of threads has reached the limits, the program terminates." << std::endl;
  console << std::endl;
}

void write_closing_lines(std::ostream& console, const std::string& results_path, bool saved) {
  console << std::endl;
  console << std::endl;
  if (saved) {
    console << "Results have been saved in a file and you can find it at: " << results_path
            << std::endl;
  } else {
    console << "Results could not be saved in a file at: " << results_path << std::endl;
  }
  console << std::endl;
  console << "Press Enter to Exit." << std::endl;
}

void write_banner_block() {
  open_results_file(std::cerr);
  write_banner_lines(std::cout, results_file, world_size);
}

bool write_closing_block() {
  // The file is closed before the path is shown, so that a write that failed
  // at the last flush still turns the path line into a warning.
  bool saved = close_results_file(std::cerr);
  write_closing_lines(std::cout, make_results_file_path(launch_directory, results_file_name),
                      saved);

  // Discard what is already buffered, then wait for one character (Enter);
  // at end of input this returns at once.
  std::streamsize buffered = std::cin.rdbuf()->in_avail();
  if (buffered > 0) std::cin.ignore(buffered);
  std::cin.get();
  return saved;
}

}  // namespace vellastron
