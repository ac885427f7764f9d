// Test media made on the spot by FFmpeg's command-line tool into a folder of the test's own.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/test_env.h"

namespace tavelo::test {

// <TempRoot>/<folder>/<name>, made by `ffmpeg <args> <that path>` (the test fails when it cannot be).
inline std::string FFmpegMade(const std::string& folder, const std::string& name, const std::string& args) {
  const std::string dir = TempRoot() + "/" + folder;
  const std::string out = dir + "/" + name;
  const std::string cmd = "mkdir -p '" + dir + "' && ffmpeg -v error -nostdin -y " + args + " '" + out + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return out;
}

}  // namespace tavelo::test
