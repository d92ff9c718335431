// korvane-devserver: runs the stand-in services in the foreground until SIGINT or SIGTERM.
#include <pthread.h>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "DevServer.h"

namespace {

constexpr const char* kUsage =
    "usage: korvane-devserver [--host ADDR] [--port N] [--user NAME] [--password TEXT] "
    "[--data-dir DIR]\n"
    "  --host      address to listen on (default 127.0.0.1)\n"
    "  --port      TCP port, 0 picks a free one (default 8080)\n"
    "  --user      demo user name (default trader)\n"
    "  --password  demo password (default korvane)\n"
    "  --data-dir  folder for uploaded videos and sessions, kept across runs\n"
    "              (default $TMPDIR/korvane-devserver)\n";

int usageError(const std::string& message) {
    std::cerr << "korvane-devserver: " << message << "\n" << kUsage;
    return 2;
}

std::optional<int> parsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int port = std::stoi(text);
    return port <= 65535 ? std::optional(port) : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    devserver::Config config;
    const char* tmp = std::getenv("TMPDIR");
    config.dataDir = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") / "korvane-devserver";

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        std::string value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        std::string* target = arg == "--host"       ? &config.host
                              : arg == "--user"     ? &config.user
                              : arg == "--password" ? &config.password
                                                    : nullptr;
        if (!target && arg != "--port" && arg != "--data-dir") {
            return usageError("unknown option \"" + arg + "\"");
        }
        if (value.empty()) {
            return usageError("missing or empty value for " + arg);
        }
        if (target) {
            *target = value;
        } else if (arg == "--data-dir") {
            config.dataDir = value;
        } else if (const auto port = parsePort(value)) {
            config.port = *port;
        } else {
            return usageError("--port must be a number from 0 to 65535, got \"" + value + "\"");
        }
    }

    // Block the stop signals before any server thread exists, then wait for them here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    devserver::DevServer server(config);
    const auto port = server.start();
    if (!port) {
        std::cerr << "korvane-devserver: " << port.error() << "\n";
        return 1;
    }
    std::cout << "Korvane stand-in services listening on " << server.baseUrl() << "\n"
              << "Demo credentials: user \"" << config.user << "\", password \"" << config.password
              << "\"\n"
              << "Data folder: " << config.dataDir.string() << "\n"
              << "Press Ctrl+C to stop." << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    std::cout << "Stopped." << std::endl;
    return 0;
}
