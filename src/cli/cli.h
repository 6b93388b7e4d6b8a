// The headless front end: the same engine and rules as the window.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {
class TFFEncoder;
}

namespace sonorix::cli {

// Runs one command line (without the program name); returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The engine's texts start with the file name; the CLI names the file itself.
std::string reason_of(const std::string& message, const std::string& path);

// The jobs (cli_jobs.cpp).
int measure(std::vector<std::string> args, std::ostream& out, std::ostream& err);
int convert(std::vector<std::string> args, std::ostream& out, std::ostream& err);

// What the jobs share (cli_jobs.cpp): running the engine's queue until the
// encoder's final notification, where a stop signal stops the tasks once;
// whether the last such run was stopped by one; loading the libraries;
// taking "--jobs N" out of args (nothing: a usage error was printed); a JSON
// string.
void run_to_end(TFFEncoder& encoder, const bool& finished);
bool interrupted();
bool load_libraries(TFFEncoder& encoder, std::ostream& err);
std::optional<int> jobs_option(std::vector<std::string>& args, std::ostream& err);
std::string json_string(const std::string& s);

// The list runs (cli_batch.cpp): "change" and "normalize".
int change(std::vector<std::string> args, std::ostream& out, std::ostream& err);
int normalize(std::vector<std::string> args, std::ostream& out, std::ostream& err);

}  // namespace sonorix::cli
