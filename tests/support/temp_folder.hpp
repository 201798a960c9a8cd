// The one temporary-folder helper of the unit tests: a fresh private folder
// under /tmp per test (or suite), removed with everything in it afterwards.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace tollmar::test {

// Creates /tmp/<prefix>-XXXXXX with mode 0700 and returns its path; records a
// test failure and returns "" when that fails.
inline std::string make_temp_folder(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
        return {};
    }
    return pattern;
}

// Removes path and everything below it; symbolic links inside are removed,
// never followed.
inline void remove_temp_folder(const std::string& path) {
    if (path.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(path, error);
    EXPECT_FALSE(error) << "removing " << path << ": " << error.message();
}

}  // namespace tollmar::test
