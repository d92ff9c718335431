#include "Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {

namespace {
std::mutex g_mutex;
std::function<void(std::string_view)> g_sink;
}  // namespace

void logLine(std::string_view message) {
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(message);
        return;
    }
    std::string line(message);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void setLogSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(g_mutex);
    g_sink = std::move(sink);
}

}  // namespace platform
