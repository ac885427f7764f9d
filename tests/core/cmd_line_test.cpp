#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/services/cmd_line.h"
#include "core/services/exception_log.h"
#include "core/services/trace.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using Args = std::vector<std::string>;

// The values of a switch in a command text.
Args Values(const std::string& text, const std::string& name, bool* found = nullptr) {
  Args list;
  const bool any = CmdLine_GetCmdIn(CmdLine_ParseText(text), name, list);
  if (found != nullptr) *found = any;
  return list;
}

// ---- Rebuilding the text from argv.

TEST(CmdLine, AnAbsolutePathIsAFileNeverASwitch) {
  const std::string text = CmdLine_BuildText(Args{"/usr/bin/tavelo", "/home/u/open/a b.avi"});
  EXPECT_EQ(text, "\"/usr/bin/tavelo\" \"/home/u/open/a b.avi\"");
  const CmdLineInfo info = CmdLine_ParseText(text);
  EXPECT_EQ(info.FirstArg, "/home/u/open/a b.avi");
  EXPECT_FALSE(CmdLine_HasCmdIn(info, "open"));
  Args list;
  EXPECT_FALSE(CmdLine_GetCmdIn(info, "open", list));
  EXPECT_TRUE(CmdLine_GetCmdIn(info, "", list));
  EXPECT_EQ(list, Args{"/home/u/open/a b.avi"});
  // Folder names that begin like switches stay inside the file name too.
  const CmdLineInfo other = CmdLine_ParseText(CmdLine_BuildText(Args{"tavelo", "/home/u/logs/close-ups/play.avi"}));
  EXPECT_FALSE(CmdLine_HasCmdIn(other, "log"));
  EXPECT_FALSE(CmdLine_HasCmdIn(other, "close"));
  EXPECT_FALSE(CmdLine_HasCmdIn(other, "play"));
}

TEST(CmdLine, ASwitchValueKeepsItsWholePath) {
  const std::string text = CmdLine_BuildText(Args{"tavelo", "/open=/home/u/x.avi"});
  EXPECT_EQ(text, "\"tavelo\" /open=\"/home/u/x.avi\"");
  const CmdLineInfo info = CmdLine_ParseText(text);
  EXPECT_EQ(info.FirstArg, "");
  Args list;
  ASSERT_TRUE(CmdLine_GetCmdIn(info, "open", list));
  EXPECT_EQ(list, Args{"/home/u/x.avi"});
  EXPECT_FALSE(CmdLine_HasCmdIn(info, "home"));
}

TEST(CmdLine, SwitchesSplitOverSeveralArguments) {
  // What a shell hands over for  tavelo /repeats = 3 /play= "/m/a b.avi" /close /log
  const std::string text =
      CmdLine_BuildText(Args{"tavelo", "/repeats", "=", "3", "/play=", "/m/a b.avi", "/close", "/LOG"});
  EXPECT_EQ(Values(text, "repeats"), Args{"3"});
  EXPECT_EQ(Values(text, "play"), Args{"/m/a b.avi"});
  EXPECT_EQ(Values(text, "close"), Args{""});
  EXPECT_TRUE(CmdLine_HasCmdIn(CmdLine_ParseText(text), "log"));
  EXPECT_EQ(Values(CmdLine_BuildText(Args{"tavelo", "/repeats", "=7"}), "repeats"), Args{"7"});
  // "/name=" followed by another switch takes no value from it.
  const std::string empty = CmdLine_BuildText(Args{"tavelo", "/open=", "/close"});
  EXPECT_EQ(Values(empty, "open"), Args{""});
  EXPECT_TRUE(CmdLine_HasCmdIn(CmdLine_ParseText(empty), "close"));
  // A bare first argument, then switches.
  const CmdLineInfo info = CmdLine_ParseText(CmdLine_BuildText(Args{"tavelo", "clip.avi", "/log"}));
  EXPECT_EQ(info.FirstArg, "clip.avi");
  EXPECT_TRUE(CmdLine_HasCmdIn(info, "log"));
}

// Every file name reaches the program as it was given: a double quote in it is carried (never
// dropped, never breaking the text), and a quote never hides or invents a switch.
TEST(CmdLine, DoubleQuotesInNamesAreCarried) {
  for (const std::string name : {"a\"b.avi", "/m/say \"hi\".avi", "\"", "\"\"", "end\"", "\"start.avi",
                                 "x \" /log \" y.avi", "x \"/close\" y.avi"}) {
    const std::string text = CmdLine_BuildText(Args{"tav\"elo", name, "/log", "/open=" + name});
    const CmdLineInfo info = CmdLine_ParseText(text);
    EXPECT_EQ(info.FirstArg, name) << text;
    EXPECT_EQ(Values(text, "open"), Args{name}) << text;
    EXPECT_EQ(Values(text, "log"), Args{""}) << text;  // found once, from the real switch only
    EXPECT_FALSE(CmdLine_HasCmdIn(info, "close")) << text;
  }
}

// An absolute path whose first folder is letters and '=' is a file when that folder exists.
TEST(CmdLine, APathBelowAFolderNamedLikeASwitchIsAFile) {
  const std::string folder = "/tavelotest=" + std::to_string(::getpid());
  if (::mkdir(folder.c_str(), 0700) != 0) GTEST_SKIP() << "cannot make " << folder << " at the root";
  const std::string file = folder + "/clip.avi";
  for (const Args& argv : {Args{"tavelo", file}, Args{"tavelo", file, "/log"}}) {
    const CmdLineInfo info = CmdLine_ParseText(CmdLine_BuildText(argv));
    EXPECT_EQ(info.FirstArg, file);
    EXPECT_FALSE(CmdLine_HasCmdIn(info, "tavelotest"));
  }
  ::rmdir(folder.c_str());
  // Once the folder is gone the same text is the switch again, as it always was.
  EXPECT_EQ(Values(CmdLine_BuildText(Args{"tavelo", file}), "tavelotest"), Args{std::to_string(::getpid()) + "/clip.avi"});
}

TEST(CmdLine, ARootFileNamedLikeASwitchIsAFile) {
  // "/tmp" exists, so it is a file (here: a folder) and not the switch "tmp".
  const CmdLineInfo info = CmdLine_ParseText(CmdLine_BuildText(Args{"tavelo", "/tmp"}));
  EXPECT_EQ(info.FirstArg, "/tmp");
  // A name that does not exist is a switch.
  const CmdLineInfo sw = CmdLine_ParseText(CmdLine_BuildText(Args{"tavelo", "/uninst"}));
  EXPECT_EQ(sw.FirstArg, "");
  EXPECT_TRUE(CmdLine_HasCmdIn(sw, "uninst"));
}

// ---- The parser on command texts.

TEST(CmdLine, ValueForms) {
  EXPECT_EQ(Values("prog /repeats = 3", "repeats"), Args{"3"});
  EXPECT_EQ(Values("prog /repeats\t=\t3", "repeats"), Args{"3"});
  EXPECT_EQ(Values("prog /open=\"/home/u/my clips/a b.avi\" /play", "open"), Args{"/home/u/my clips/a b.avi"});
  const std::string text = "prog /repeats=3/close";
  EXPECT_EQ(Values(text, "repeats"), Args{"3"});
  EXPECT_TRUE(CmdLine_HasCmdIn(CmdLine_ParseText(text), "close"));
  bool found = false;
  EXPECT_EQ(Values(text, "close", &found), Args{""});  // no "=": an empty value, still found
  EXPECT_TRUE(found);
  // An unquoted value also ends at a blank or a tab.
  EXPECT_EQ(Values("prog /play=a.avi b.avi", "play"), Args{"a.avi"});
}

TEST(CmdLine, FirstValueWinsAndCaseDoesNotMatter) {
  const Args list = Values("prog /Play=a.avi /PLAY=b.avi /play=\"c d.avi\"", "play");
  ASSERT_EQ(list, (Args{"a.avi", "b.avi", "c d.avi"}));
  EXPECT_EQ(list.front(), "a.avi");
  EXPECT_EQ(Values("prog /PLAY=x", "pLaY"), Args{"x"});
  // The name is a plain prefix: "op" is found inside "/open".
  EXPECT_EQ(Values("prog /open=x", "op"), Args{""});
  EXPECT_TRUE(CmdLine_HasCmdIn(CmdLine_ParseText("prog /open=x"), "op"));
  bool found = true;
  EXPECT_TRUE(Values("prog /open=x", "play", &found).empty());
  EXPECT_FALSE(found);
}

TEST(CmdLine, ProgramNameAndFirstArgument) {
  CmdLineInfo info = CmdLine_ParseText("\"C:/Program Files/x/prog.exe\" \"my clip.avi\"  /log");
  EXPECT_EQ(info.FirstArg, "my clip.avi");
  EXPECT_EQ(info.CmdText.substr(static_cast<size_t>(info.StartPos - 1)), "/log");
  info = CmdLine_ParseText("prog /log");
  EXPECT_EQ(info.FirstArg, "");  // a '/' never begins the first argument
  info = CmdLine_ParseText("  prog\tx clip.avi");  // a TAB does not end the program name
  EXPECT_EQ(info.FirstArg, "clip.avi");
  info = CmdLine_ParseText("prog \"unclosed name");
  EXPECT_EQ(info.FirstArg, "unclosed name");
  EXPECT_EQ(info.StartPos, static_cast<int32_t>(info.CmdText.size()) + 1);
  info = CmdLine_ParseText("");
  EXPECT_EQ(info.FirstArg, "");
  EXPECT_EQ(info.StartPos, 1);
}

TEST(CmdLine, PresenceSearchesFromTheStartValuesFromStartPos) {
  // An unquoted program name that holds "/log": present, but it carries no value.
  const CmdLineInfo info = CmdLine_ParseText("/opt/log/prog clip.avi");
  EXPECT_TRUE(CmdLine_HasCmdIn(info, "log"));
  Args list;
  EXPECT_FALSE(CmdLine_GetCmdIn(info, "log", list));
  // A switch that ends the text is still found with its empty value.
  bool found = false;
  EXPECT_EQ(Values("\"prog\" /open", "open", &found), Args{""});
  EXPECT_TRUE(found);
}

TEST(CmdLine, UnclosedQuotedValueEndsTheSearch) {
  bool found = false;
  EXPECT_EQ(Values("prog /play=\"a.avi /play=b.avi", "play", &found), Args{""});
  EXPECT_TRUE(found);
}

TEST(CmdLine, CharacterRoutines) {
  const std::string s = "  \t\"a b\"  x";
  EXPECT_FALSE(CmdLine_InRange(s, 0));
  EXPECT_TRUE(CmdLine_InRange(s, 1));
  EXPECT_TRUE(CmdLine_InRange(s, static_cast<int32_t>(s.size())));
  EXPECT_FALSE(CmdLine_InRange(s, static_cast<int32_t>(s.size()) + 1));
  int32_t pos = 1;
  CmdLine_SkipBlanks(s, pos);
  EXPECT_EQ(pos, 4);
  pos = 1;
  CmdLine_SkipQuoted(s, pos);
  EXPECT_EQ(pos, 9);
  CmdLine_SkipBlanks(s, pos);
  EXPECT_EQ(s[static_cast<size_t>(pos - 1)], 'x');
}

TEST(CmdLine, ProcessCommandLine) {
  // Without a text of its own the parser reads this process's argv.
  const CmdLineInfo own = CmdLine_Current();
  EXPECT_EQ(own.CmdText.rfind("\"", 0), 0u);
  EXPECT_NE(own.CmdText.find("core_tests"), std::string::npos);

  const char* argv[] = {"/usr/bin/tavelo", "/play=/m/a b.avi", "/repeats=5"};
  CmdLine_SetArgs(3, argv);
  Args list;
  ASSERT_TRUE(CmdLine_GetCmd("play", list));
  EXPECT_EQ(list, Args{"/m/a b.avi"});
  ASSERT_TRUE(CmdLine_GetCmd("repeats", list));
  EXPECT_EQ(list, Args{"5"});
  EXPECT_TRUE(CmdLine_HasCmd("PLAY"));
  EXPECT_FALSE(CmdLine_HasCmd("close"));
  EXPECT_FALSE(CmdLine_GetCmd("", list));
  EXPECT_EQ(list, Args{""});
  CmdLine_SetText("");
}

// ---- The exception report in the trace log.

std::string StartLog() {
  const std::string path = test::MakeTempDir("exclog") + "/log.txt";
  SetTraceFile(path);
  TraceStart("Tavelo 3.1.0");
  return path;
}

TEST(ExceptionLog, LogsWhereTheTextAndTheCallStack) {
  const std::string path = StartLog();
  TraceEnter("wTaveloMain.Worker");
  TraceEnter("QMedEngine.Step");
  try {
    throw std::runtime_error("disk went away");
  } catch (...) {
    std::string text;
    GetExceptionMsg(text);
    EXPECT_NE(text.find("disk went away"), std::string::npos);
    EXPECT_LE(text.size(), 1024u);
    LogException("");
  }
  TraceLeave();
  TraceLeave();
  const std::string log = test::ReadFile(path);
  TraceStop();
  const size_t at = log.find("Error in ??: Exception ");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.find("disk went away", at), std::string::npos);
  EXPECT_NE(log.find("\r\nwTaveloMain.Worker:QMedEngine.Step\r\n", at), std::string::npos) << log;
}

TEST(ExceptionLog, NothingWhileTheLogIsOff) {
  const std::string path = StartLog();
  TraceStop();
  const std::string before = test::ReadFile(path);
  try {
    throw std::runtime_error("quiet");
  } catch (...) {
    LogException("CmdLine_GetCmd");
  }
  EXPECT_EQ(test::ReadFile(path), before);
}

TEST(ExceptionLog, LongMessagesAreCut) {
  try {
    throw std::runtime_error(std::string(5000, 'x'));
  } catch (...) {
    std::string text;
    GetExceptionMsg(text);
    EXPECT_LE(text.size(), 1024u);
    EXPECT_GT(text.size(), 900u);
  }
}

}  // namespace
}  // namespace tavelo
