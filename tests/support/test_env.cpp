#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tavelo::test {

namespace {
std::string g_root;
std::atomic<int> g_serial{0};
}  // namespace

void InitTestEnvironment() {
  char pattern[] = "/tmp/tavelo-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  g_root = made;
  const std::string home = g_root + "/home";
  for (const char* sub : {"/home", "/home/.config", "/home/.local/share", "/home/.cache", "/home/Documents"})
    std::filesystem::create_directories(g_root + sub);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
  setenv("XDG_DOCUMENTS_DIR", (home + "/Documents").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("TAVELO_AUDIO", "null", 1);
}

void CleanTestEnvironment() {
  if (!g_root.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
  }
}

const std::string& TempRoot() { return g_root; }

std::string MakeTempDir(const std::string& hint) {
  std::string dir = g_root + "/" + hint + "-" + std::to_string(++g_serial);
  std::filesystem::create_directories(dir);
  return dir;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot create " << path;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string DataPath(const std::string& name) { return std::string(TAVELO_SOURCE_DIR) + "/tests/data/" + name; }

}  // namespace tavelo::test

namespace tavelo::test {
std::string MediaPath(const std::string& name) { return std::string(TAVELO_TEST_DATA) + "/" + name; }
}  // namespace tavelo::test
