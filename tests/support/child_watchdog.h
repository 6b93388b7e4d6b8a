// Runs a test scenario that could hang or crash in a forked child under a
// watchdog: a deadlock, a crash or a sanitizer report fails the test instead
// of stopping the run.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace sonorix::test {

// The child kills itself with SIGALRM after limit; the parent kills it a little
// later if even that did not work. The child's failed expectations make it
// exit with 1. Returns what went wrong, empty when the child passed.
inline std::string run_in_child(const std::function<void()>& body,
                                std::chrono::seconds limit = std::chrono::seconds(60)) {
    // The thread sanitizer cannot follow a fork of a process with threads:
    // let the threads of earlier tests end first.
    auto threads = [] {
        int n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
        return n;
    };
    for (int i = 0; i < 200 && threads() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return std::string("fork: ") + std::strerror(errno);
    if (child == 0) {
        alarm(static_cast<unsigned>(limit.count()));
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    const auto end = std::chrono::steady_clock::now() + limit + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return "hung: killed by the parent";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFSIGNALED(status)) {
        if (WTERMSIG(status) == SIGALRM) return "hung: stopped by the watchdog";
        return std::string("died of signal ") + strsignal(WTERMSIG(status));
    }
    if (WEXITSTATUS(status) != 0) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "";
}

}  // namespace sonorix::test
