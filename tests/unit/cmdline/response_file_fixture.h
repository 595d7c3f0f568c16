// A fresh directory per test for response files, removed when it ends.
#pragma once

#include "support/cmdline/response_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vetline::cl {

class ResponseFiles : public ::testing::Test {
protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("vetline-rsp-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::string write(const std::string &name, const std::string &bytes) {
    std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::vector<std::string> expand(std::vector<std::string> args) {
    expandResponseFiles(args);
    return args;
  }

  std::filesystem::path dir;
};

} // namespace vetline::cl
