#pragma once

// Runs a shell command from a test and returns what it printed, without the trailing newline.
#include <array>
#include <cctype>
#include <cstdio>
#include <string>

inline std::string shellOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 256> chunk{};
        while (std::fgets(chunk.data(), chunk.size(), pipe)) {
            out += chunk.data();
        }
        ::pclose(pipe);
    }
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) {
        out.pop_back();
    }
    return out;
}
