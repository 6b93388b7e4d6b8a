#include "engine/FFBase.h"

#include <cstdarg>
#include <cstdio>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace sonorix {

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (needed > 0) {
        std::vector<char> buf(static_cast<size_t>(needed) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, args);
        out.assign(buf.data(), static_cast<size_t>(needed));
    }
    va_end(args);
    return out;
}

int CurrentThreadId() {
    thread_local const int id = static_cast<int>(::syscall(SYS_gettid));
    return id;
}

}  // namespace sonorix
