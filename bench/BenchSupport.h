#pragma once

// Small pieces every benchmark program uses.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/resource.h>

namespace bench {

// Prints the reason and ends the program: a benchmark that cannot run has no figures.
[[noreturn]] inline void fail(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    std::exit(1);
}

// User plus system CPU time of this process (RUSAGE_SELF) or its waited-for children.
inline double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace bench
