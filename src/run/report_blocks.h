#pragma once

#include <ostream>
#include <string>

namespace vellastron {

extern const char* const banner_line;
extern const char* const refusal_banner_line;
extern const char* const rights_notice_line;
extern const char* const support_contact_line;
extern const char* const thread_level_refusal_text;

// The lines that open the report: console first, then the file, as the
// console's reader sees them appear.
void write_banner_lines(std::ostream& console, std::ostream& file, int process_count);
// The root's block when the job has more processes than the tables hold.
void write_process_count_refusal(std::ostream& console);
// The console's closing lines up to the prompt; saved tells whether the
// results file holds the whole report.
void write_closing_lines(std::ostream& console, const std::string& results_path, bool saved);

// The process-wide blocks of the root's run sequence.
void write_banner_block();
// Returns false when the results file was not saved whole.
bool write_closing_block();

}  // namespace vellastron
