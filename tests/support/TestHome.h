#pragma once

// A private config and data home for one test program, so no test ever reads or writes the
// user's settings or recordings.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

inline std::optional<std::string> makePrivateTestHome() {
    std::string base = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
    if (!::mkdtemp(base.data())) {
        return std::nullopt;
    }
    ::setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
    ::setenv("KORVANE_TEST_HOME", base.c_str(), 1);
    return base;
}

inline void removePrivateTestHome(const std::string& base) {
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
}
