#pragma once

#include <ctime>
#include <fstream>
#include <ostream>
#include <string>

namespace vellastron {

// The report's output file. Like a std::ofstream it never throws and only
// records failures in its state; unlike one, it also keeps the errno of the
// first failed write or close, so a lost report can be reported with its cause.
class ResultsFileStream : public std::ostream {
 public:
  ResultsFileStream();

  // Opens an existing (just reserved) file for output, truncating it.
  bool open(const std::string& name);
  // Flushes and closes; false when any write or the close itself failed.
  bool close();
  bool is_open() const { return buffer_.is_open(); }
  // errno of the first failure, 0 if none was seen.
  int first_error() const { return buffer_.first_error; }

 private:
  class Buffer : public std::filebuf {
   public:
    int first_error = 0;
    void record(int error) {
      if (first_error == 0) first_error = error;
    }

   protected:
    int_type overflow(int_type c) override;
    int sync() override;
  };
  Buffer buffer_;
};

// The working directory at process start, captured before MPI is initialised;
// null when it could not be read. Never released.
extern char* launch_directory;
extern ResultsFileStream results_file;

// The name of the file actually created by open_results_file, and whether it
// could be created.
extern std::string results_file_name;
extern bool results_file_created;

std::string format_time_text(const std::tm& local_time);
std::string make_results_file_name(const char* name_of_processor, const std::string& time_text);
// copy 1 is the name itself; copy n > 1 puts " (n)" before the ".txt" ending.
std::string numbered_results_file_name(const std::string& name, int copy);
// Creates the file exclusively under the first free numbered name in the
// current directory. Returns the name created, or sets error_number.
std::string reserve_results_file(const std::string& name, int& error_number);
// launch_directory, the platform's separator, then the file name; "(null)"
// stands for a directory that could not be read.
std::string make_results_file_path(const char* directory, const std::string& name);

// Names, creates and opens results_file from processor_name and the local
// time; on failure writes one line to error_channel.
void open_results_file(std::ostream& error_channel);
// Closes results_file; true when every line reached the file. On failure
// writes one line to error_channel.
bool close_results_file(std::ostream& error_channel);

}  // namespace vellastron
