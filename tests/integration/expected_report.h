#pragma once

// Reports written out by hand in tests/integration/expected, where @DIR@
// stands for the launch directory.

#include <string>

namespace vellastron_test {

std::string expected_report(const std::string& name, const std::string& launch_directory);

}  // namespace vellastron_test
