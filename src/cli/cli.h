// The headless front end: the same engine and rules as the window.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace sonorix::cli {

// Runs one command line (without the program name); returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sonorix::cli
