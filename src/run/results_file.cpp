#include "run/results_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "run/process_state.h"

namespace vellastron {

namespace {

char* read_launch_directory() { return getcwd(nullptr, 0); }

#ifdef _WIN32
constexpr char path_separator = '\\';
#else
constexpr char path_separator = '/';
#endif

constexpr const char* program_name = "vellastron-memory";

}  // namespace

// Construction order matters: the directory is read before anything else runs.
char* launch_directory = read_launch_directory();
ResultsFileStream results_file;
std::string results_file_name;
bool results_file_created = false;

ResultsFileStream::ResultsFileStream() : std::ostream(nullptr) { rdbuf(&buffer_); }

bool ResultsFileStream::open(const std::string& name) {
  errno = 0;
  if (buffer_.open(name, std::ios::out | std::ios::trunc) == nullptr) {
    buffer_.record(errno != 0 ? errno : EIO);
    setstate(std::ios::failbit);
    return false;
  }
  clear();
  return true;
}

bool ResultsFileStream::close() {
  if (!buffer_.is_open()) {
    setstate(std::ios::failbit);
    return false;
  }
  errno = 0;
  if (buffer_.close() == nullptr) {
    buffer_.record(errno != 0 ? errno : EIO);
    setstate(std::ios::failbit);
  }
  return !fail() && buffer_.first_error == 0;
}

ResultsFileStream::Buffer::int_type ResultsFileStream::Buffer::overflow(int_type c) {
  errno = 0;
  int_type result = std::filebuf::overflow(c);
  if (traits_type::eq_int_type(result, traits_type::eof())) record(errno != 0 ? errno : EIO);
  return result;
}

int ResultsFileStream::Buffer::sync() {
  errno = 0;
  int result = std::filebuf::sync();
  if (result != 0) record(errno != 0 ? errno : EIO);
  return result;
}

std::string format_time_text(const std::tm& local_time) {
  char text[1024];
  std::size_t length =
      std::strftime(text, sizeof text, "local date %Y.%m.%d time %H.%M.%S.txt", &local_time);
  return std::string(text, length);
}

std::string make_results_file_name(const char* name_of_processor, const std::string& time_text) {
  return std::string("results_memory_windows_clusters_mac_mx @ ") + name_of_processor + " @ " +
         time_text;
}

std::string numbered_results_file_name(const std::string& name, int copy) {
  if (copy <= 1) return name;
  const std::string ending = ".txt";
  std::string stem = name.substr(0, name.size() - ending.size());
  return stem + " (" + std::to_string(copy) + ")" + ending;
}

std::string reserve_results_file(const std::string& name, int& error_number) {
  for (int copy = 1;; ++copy) {
    std::string candidate = numbered_results_file_name(name, copy);
    int descriptor = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (descriptor >= 0) {
      ::close(descriptor);
      error_number = 0;
      return candidate;
    }
    if (errno != EEXIST) {
      error_number = errno;
      return candidate;
    }
  }
}

std::string make_results_file_path(const char* directory, const std::string& name) {
  std::string path = directory != nullptr ? directory : "(null)";
  path += path_separator;
  path += name;
  return path;
}

void open_results_file(std::ostream& error_channel) {
  std::time_t now = std::time(nullptr);
  std::tm local_time{};
  if (const std::tm* converted = std::localtime(&now)) local_time = *converted;
  std::string time_text = format_time_text(local_time);
  std::string wanted = make_results_file_name(processor_name, time_text);

  int error_number = 0;
  results_file_name = reserve_results_file(wanted, error_number);
  if (error_number == 0 && results_file.open(results_file_name)) {
    results_file_created = true;
    return;
  }
  if (error_number == 0) error_number = results_file.first_error();
  results_file.setstate(std::ios::failbit);
  error_channel << program_name << ": cannot create the results file \"" << results_file_name
                << "\": " << std::strerror(error_number) << std::endl;
}

bool close_results_file(std::ostream& error_channel) {
  if (!results_file_created) {
    results_file.setstate(std::ios::failbit);
    return false;
  }
  if (results_file.close()) return true;
  int error_number = results_file.first_error() != 0 ? results_file.first_error() : EIO;
  error_channel << program_name << ": could not write the results file \"" << results_file_name
                << "\": " << std::strerror(error_number) << std::endl;
  return false;
}

}  // namespace vellastron
