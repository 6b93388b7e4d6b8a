// Runs one of the project's programs in a child process, for tests that
// need a real process: signals, resource limits, preloaded fault libraries.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace sonorix::test {

// Starts program with args: stderr into err_file, stdout to /dev/null, the
// entries of env before the inherited ones (so they win). in_child runs in
// the child right before the program starts and may use async-signal-safe
// calls only. An alarm of 60 s, kept by the program, ends a child that hangs.
pid_t start_program(const std::string& program, const std::vector<std::string>& args,
                    const std::filesystem::path& err_file, const std::vector<std::string>& env = {},
                    const std::function<void()>& in_child = {});

// Waits for the child: its exit status, or -1 when a signal ended it (which
// one goes to signal when given).
int wait_program(pid_t child, int* signal = nullptr);

}  // namespace sonorix::test
