#include "support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sonorix::test {

pid_t start_program(const std::string& program, const std::vector<std::string>& args,
                    const std::filesystem::path& err_file, const std::vector<std::string>& env,
                    const std::function<void()>& in_child) {
    // Everything the child needs is made before the fork: after it, in a
    // process with threads, only async-signal-safe calls are sound.
    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<std::string> env_text(env);
    for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (std::string& a : argv_text) argv.push_back(a.data());
    for (std::string& e : env_text) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string err_path = err_file.string();
    const pid_t child = fork();
    if (child != 0) return child;
    alarm(60);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    if (in_child) in_child();
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

int wait_program(pid_t child, int* signal) {
    int status = 0;
    if (child <= 0 || waitpid(child, &status, 0) != child) return -1;
    if (signal) *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace sonorix::test
