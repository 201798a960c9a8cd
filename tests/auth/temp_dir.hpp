// A private temporary directory per test, for list and authentication files.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

namespace tollmar::test {

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_folder("tollmar-auth");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { remove_temp_folder(dir_); }

    // Writes bytes exactly (NUL bytes included) and returns the file's path.
    std::string write_file(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        EXPECT_TRUE(out.good()) << path;
        return path;
    }

    std::string path_of(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

}  // namespace tollmar::test
