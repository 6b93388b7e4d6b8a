// The headless front end: the same engine and rules as the window.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace sonorix::cli {

// Runs one command line (without the program name); returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The engine's texts start with the file name; the CLI names the file itself.
std::string reason_of(const std::string& message, const std::string& path);

// The jobs (cli_jobs.cpp).
int measure(std::vector<std::string> args, std::ostream& out, std::ostream& err);
int convert(std::vector<std::string> args, std::ostream& out, std::ostream& err);

}  // namespace sonorix::cli
