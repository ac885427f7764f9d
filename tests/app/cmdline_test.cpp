// The command line's switches, the open-to-play pause and the program log.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/w_tavelo_main_cmdline.h"
#include "core/services/cmd_line.h"
#include "core/services/trace.h"
#include "core/services/win_utils.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

// A player that records what the command line asked of it, on a clock that only moves when the
// fake open takes time or the routine sleeps.
struct FakePlayer {
  std::vector<std::string> calls;
  int32_t loopCount = 1;
  bool closeFlag = false;
  double now = 0;
  double openTakes = 0;
  std::vector<int32_t> sleeps;

  CmdLinePlayer Target() {
    CmdLinePlayer t;
    t.OpenFile = [this](const std::string& f) {
      calls.push_back("open " + f);
      now += openTakes;
    };
    t.Play = [this] { calls.push_back("play"); };
    t.GetLoopCount = [this] { return loopCount; };
    t.SetLoopCount = [this](int32_t n) { loopCount = n; };
    t.ProcessMessages = [this] { calls.push_back("messages"); };
    t.SetCloseFlag = [this] { closeFlag = true; };
    return t;
  }
};

class CmdLineTest : public testing::Test {
 protected:
  void SetUp() override {
    OpenAndPlayClock clock;
    clock.Seconds = [this] { return player_.now; };
    clock.Sleep = [this](int32_t ms) {
      player_.sleeps.push_back(ms);
      player_.now += ms / 1000.0;
    };
    SetOpenAndPlayClock(clock);
  }
  void TearDown() override { SetOpenAndPlayClock({}); }

  void Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/tavelo"};
    argv.insert(argv.end(), args.begin(), args.end());
    CmdLine_SetText(CmdLine_BuildText(argv));
    ProcessCommandLineParams(player_.Target());
  }

  FakePlayer player_;
};

TEST_F(CmdLineTest, PlayWinsOverOpen) {
  Run({"/open=/m/a.avi", "/play=/m/b.avi"});
  EXPECT_EQ(player_.calls, (std::vector<std::string>{"open /m/b.avi", "messages", "play"}));
}

TEST_F(CmdLineTest, NamesAreMadeAbsoluteAgainstTheCurrentFolder) {
  // The recent lists keep what was opened: a relative name would fail from another folder.
  const std::string cwd = std::filesystem::current_path().string();
  struct Case {
    std::vector<std::string> args;
    std::string opened;
  } cases[] = {
      {{"/open=clip.v1.avi"}, cwd + "/clip.v1.avi"},
      {{"./media/a b.avi"}, cwd + "/media/a b.avi"},
      {{"/play=../up.avi"}, cwd + "/../up.avi"},
      {{"/open=/m/a.avi"}, "/m/a.avi"},
  };
  for (const Case& c : cases) {
    player_.calls.clear();
    Run(c.args);
    ASSERT_FALSE(player_.calls.empty()) << c.args[0];
    EXPECT_EQ(player_.calls[0], "open " + c.opened) << c.args[0];
  }
}

TEST_F(CmdLineTest, OpenAloneOpensWithoutPlaying) {
  Run({"/open=/m/a b.avi"});
  EXPECT_EQ(player_.calls, (std::vector<std::string>{"open /m/a b.avi"}));
}

TEST_F(CmdLineTest, BareArgumentPlaysAndOtherSwitchesAreIgnored) {
  Run({"/m/open/a.avi", "/play=/m/b.avi", "/repeats=5", "/close"});
  EXPECT_EQ(player_.calls, (std::vector<std::string>{"open /m/open/a.avi", "messages", "play"}));
  EXPECT_EQ(player_.loopCount, 1);
  EXPECT_FALSE(player_.closeFlag);
}

TEST_F(CmdLineTest, RepeatsAndClose) {
  struct Case {
    const char* value;
    int32_t expected;
  } cases[] = {{"3", 3}, {"x", 7}, {"2000000", 2000000}, {"-4", -4}, {"3x", 7}};
  for (const Case& c : cases) {
    player_ = FakePlayer();
    player_.loopCount = 7;
    Run({std::string("/repeats=") + c.value});
    EXPECT_EQ(player_.loopCount, c.expected) << c.value;
    EXPECT_TRUE(player_.calls.empty());
  }
  Run({"/play=/m/a.avi", "/close"});
  EXPECT_TRUE(player_.closeFlag);
}

TEST_F(CmdLineTest, PlayStartsNoSoonerThan700MsAfterTheOpenBegan) {
  struct Case {
    double openSeconds;
    std::vector<int32_t> sleeps;
  } cases[] = {{0.2, {500}}, {0.0, {700}}, {0.6996, {}}, {0.9, {}}};
  for (const Case& c : cases) {
    player_ = FakePlayer();
    player_.openTakes = c.openSeconds;
    OpenAndPlay(player_.Target(), "/m/a.avi");
    EXPECT_EQ(player_.sleeps, c.sleeps) << c.openSeconds;
    EXPECT_EQ(player_.calls.back(), "play");
  }
}

TEST_F(CmdLineTest, LogFilesAreNumberedInTheDocumentsFolder) {
  Run({"/log"});
  const std::string first = ProgramLogPath();
  EXPECT_EQ(first, GetMyDocumentsDir() + "_Tavelo_log_001.txt");
  EXPECT_TRUE(IsTracing());
  StopProgramLog();
  Run({"/log"});
  EXPECT_EQ(ProgramLogPath(), GetMyDocumentsDir() + "_Tavelo_log_002.txt");
  StopProgramLog();
  const std::string text = test::ReadFile(first);
  EXPECT_EQ(text.rfind("Tavelo 3.1.0", 0), 0u) << text;
  EXPECT_NE(text.find("\r\nCPU Name: " + GetCpuName(0) + "\r\n\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace tavelo
