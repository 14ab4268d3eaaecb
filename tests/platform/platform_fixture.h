// Every platform test runs in a fresh temporary folder: the path variables point into it, and
// the libraries that keep state (AT port, store connection) start from nothing.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace orv::test {

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // "<temp folder>/<name>"
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    static void write_file(const std::string& path, const std::string& bytes);
    static std::string read_file(const std::string& path);
    static unsigned file_mode(const std::string& path);  // permission bits, or ~0u when missing

    std::string dir_;
};

}  // namespace orv::test
