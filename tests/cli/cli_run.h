// One sonorix-cli command line run in the test's process, its output kept.
#pragma once

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace sonorix::test {

struct CliRun {
    int status;
    std::string out, err;
};

inline CliRun cli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = cli::run(args, out, err);
    return {status, out.str(), err.str()};
}

// The records a --json run printed (a parse error fails the test that reads them).
inline nlohmann::json records(const CliRun& run) { return nlohmann::json::parse(run.out); }

}  // namespace sonorix::test
