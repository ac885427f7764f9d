#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <sstream>
#include <vector>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

// Starts a fresh log in a private folder; returns its path.
std::string StartLog() {
  const std::string path = test::MakeTempDir("trace") + "/log.txt";
  SetTraceFile(path);
  TraceStart("Tavelo 3.1.0");
  return path;
}

// The log's lines; every line must end in CR LF.
std::vector<std::string> LogLines(const std::string& path) {
  const std::string text = test::ReadFile(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t crlf = text.find("\r\n", start);
    EXPECT_NE(crlf, std::string::npos) << "line without CR LF at offset " << start;
    if (crlf == std::string::npos) break;
    lines.push_back(text.substr(start, crlf - start));
    start = crlf + 2;
  }
  return lines;
}

class TraceTest : public ::testing::Test {
 protected:
  void TearDown() override { TraceStop(); }
};

TEST_F(TraceTest, HeaderLines) {
  const std::string path = StartLog();
  ASSERT_TRUE(IsTracing());
  const auto lines = LogLines(path);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "Tavelo 3.1.0");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(Trace started on \d{4}-\d\d-\d\d, \d\d:\d\d)"))) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(OS: \S.* v\d+\.\d+ - build \d+ - .*)"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(CPU: \d+/\d+/\d+, processors: [1-9]\d*)"))) << lines[3];
  EXPECT_EQ(lines[4], std::string(75, '_'));
}

TEST_F(TraceTest, RestartReplacesTheOldLog) {
  const std::string path = StartLog();
  TraceText("first run");
  TraceStart("again");
  const auto lines = LogLines(path);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "again");
  for (const auto& l : lines) EXPECT_NE(l, "#first run");
}

// Restarting the log while other threads write: the title is always the first line, never
// preceded by another thread's line.
TEST_F(TraceTest, RestartWhileOthersWriteBeginsWithTheTitle) {
  const std::string path = StartLog();
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&stop, t] {
      while (!stop.load()) TraceText("writer " + std::to_string(t));
    });
  int wrong = 0;
  for (int i = 0; i < 200; ++i) {
    const std::string title = "restart " + std::to_string(i);
    TraceStart(title);
    if (test::ReadFile(path).rfind(title + "\r\n", 0) != 0) ++wrong;
  }
  stop.store(true);
  for (std::thread& w : writers) w.join();
  EXPECT_EQ(wrong, 0) << "restarts whose log did not begin with the title";
}

TEST_F(TraceTest, UnwritableLogLeavesTracingOff) {
  SetTraceFile("/nonexistent-folder/x/log.txt");
  TraceStart("t");
  EXPECT_FALSE(IsTracing());
}

TEST_F(TraceTest, ErrorAndWarningLines) {
  const std::string path = StartLog();
  const size_t header = LogLines(path).size();
  TraceEnter("Conform.ImgLoad");
  TraceEnter("Basic.FOpen");
  SetErrorEx(ecImage, 3, "", 787, true);
  // The stack was emptied by the error.
  EXPECT_EQ(GetCallStack(), "");
  TraceLeave();
  TraceLeave();
  SetErrorEx(ecAviSys, -1, "", 12, true);  // empty stack, unsigned code
  SetWarningText(ecText, "warned text", 99);
  SetWarning(ecAvi, 8, 5);
  const auto lines = LogLines(path);
  ASSERT_EQ(lines.size(), header + 8);
  EXPECT_EQ(lines[header + 0], "!7:3;\"Cannot decompress image data.\"");
  EXPECT_EQ(lines[header + 1], "@Conform.ImgLoad:Basic.FOpen;787");
  EXPECT_EQ(lines[header + 2], "!10:4294967295;\"AVI subsystem malfunction: 4294967295\"");
  EXPECT_EQ(lines[header + 3], "@;12");
  EXPECT_EQ(lines[header + 4], "?1:2147483647;\"warned text\"");
  EXPECT_EQ(lines[header + 5], "@;99");
  EXPECT_EQ(lines[header + 6], "?9:8;\"Switching to DirectX interface for audio decode (ACM decompressor not found ?)\"");
}

TEST_F(TraceTest, FreeTextLines) {
  const std::string path = StartLog();
  const size_t header = LogLines(path).size();
  TraceText("a\r\nb");
  TraceText("");
  TraceText("c\r\n");
  TraceText("lone\nlf");
  const auto lines = LogLines(path);
  ASSERT_EQ(lines.size(), header + 5);
  EXPECT_EQ(lines[header + 0], "#a");
  EXPECT_EQ(lines[header + 1], "#b");
  EXPECT_EQ(lines[header + 2], "#");
  EXPECT_EQ(lines[header + 3], "#c");
  EXPECT_EQ(lines[header + 4], "#lone\nlf");
}

TEST_F(TraceTest, CallNameStackLimitAndOffState) {
  // Off: nothing is kept.
  TraceEnter("X.Y");
  EXPECT_EQ(GetCallStack(), "");
  EXPECT_EQ(CallStackDepth(), 0);
  StartLog();
  for (int i = 0; i < 257; ++i) TraceEnter(i == 256 ? "Dropped.Name" : "U.R");
  EXPECT_EQ(CallStackDepth(), 256);
  EXPECT_EQ(GetCallStack().find("Dropped"), std::string::npos);
  TraceLeave();
  EXPECT_EQ(CallStackDepth(), 255);
  TraceStop();
  EXPECT_EQ(CallStackDepth(), 0);
}

TEST_F(TraceTest, MemoryDriveAndLeakReportLines) {
  const std::string path = StartLog();
  const size_t header = LogLines(path).size();
  void* block = nullptr;
  ASSERT_EQ(_memalloc_(block, 100, 1240, "Test.Leak.block", mkResizable), 0);
  const std::string dir = test::MakeTempDir("leaks");
  int32_t h = 0;
  ASSERT_EQ(FOpen(h, dir + "/open.bin", fmCreate), 0);
  ReportLeaks();
  TraceMemStatus();
  TraceDrive(dir);
  EXPECT_EQ(MemCount(), 0);
  EXPECT_EQ(FCount(), 0);
  const auto lines = LogLines(path);
  ASSERT_EQ(lines.size(), header + 11);
  EXPECT_TRUE(std::regex_match(lines[header], std::regex(R"(#Max\. allocated memory handles: [\d,]+)")));
  EXPECT_EQ(lines[header + 1], "#Memory handles not freed:");
  EXPECT_EQ(lines[header + 2], "#  C:1,240:Test.Leak.block:108 bytes");
  EXPECT_EQ(lines[header + 3], "#Files not closed: 1");
  EXPECT_EQ(lines[header + 4], "#  " + dir + "/open.bin");
  EXPECT_EQ(lines[header + 5], "#Physical memory:");
  EXPECT_TRUE(std::regex_match(lines[header + 6], std::regex(R"(#  total: [\d,]+ MB, free: [\d,]+ MB)")));
  EXPECT_EQ(lines[header + 7], "#Swap memory:");
  EXPECT_TRUE(std::regex_match(lines[header + 9], std::regex("#Drive " + dir + R"( \(\w+\))"))) << lines[header + 9];
  EXPECT_TRUE(std::regex_match(lines[header + 10], std::regex(R"(#  total: [\d,]+ MB, free: [\d,]+ MB)")));
}

TEST(TraceOs, NameTable) {
  OsVersionInfo v;
  v.platformId = 2;
  v.major = 5;
  v.minor = 1;
  v.build = 0x0A280A28;  // low 16 bits 2600
  v.servicePack = "Service Pack 3";
  EXPECT_EQ(OsLineOf(v), "OS: Windows XP v5.1 - build 2600 - Service Pack 3");
  v.build = 1234;
  EXPECT_EQ(OsNameOf(v), "Windows NT compatible");
  v.platformId = 7;
  EXPECT_EQ(OsNameOf(v), "N/A");
  v.platformId = -1;
  v.systemName = "Linux";
  v.build = 2600;  // not a Windows build: the system's own name stays
  EXPECT_EQ(OsNameOf(v), "Linux");
}

}  // namespace
}  // namespace tavelo
