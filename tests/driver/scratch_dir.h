// Runs a test inside a fresh empty directory and goes back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Helpers over the real file system (std calls, not the code under test).
    static void write_file(const std::string& path, const std::string& content);
    static std::string read_file(const std::string& path);
    static bool exists(const std::string& path);
    static bool is_dir(const std::string& path);
    static std::string cwd();

    std::string root_;

private:
    std::string previous_;
};
