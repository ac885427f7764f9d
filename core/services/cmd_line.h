// The command-line switch parser. The program takes one optional bare argument (a media file)
// and switches "/" + name, optionally followed by "=" and a value. Names match without regard to
// case, and a longer switch that begins with the name also matches.
//
// The parser works on one command text. On Linux that text is rebuilt from argv with the program
// name, every argument that is not a switch and every switch value in double quotes, so that an
// absolute path such as /home/u/open/a.avi is a file and never the switch "open". Switches are
// only recognised outside double quotes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo {

struct CmdLineInfo {
  std::string CmdText;    // the whole command text, program name included, as typed
  int32_t StartPos = 1;   // 1-based: just after the program name and the first argument
  std::string FirstArg;   // the bare first argument, '' when there is none
};

// The command text for argv: argv[0] and every argument that is not a switch in double quotes;
// a switch as "/name", with its value as ="value". A switch is '/' + letters, alone or followed
// by '=' and its value, unless the first folder of that path exists (then it is a file: a folder
// "/data=backup" makes /data=backup/clip.avi a file); "/name" "=" "value", "/name" "=value" and
// "/name=" "value" are joined into one switch. A double quote inside an argument is written
// twice, and the parser reads a doubled quote inside quotes as one, so every name arrives intact.
std::string CmdLine_BuildText(const std::vector<std::string>& argv);
std::string CmdLine_BuildText(int argc, const char* const* argv);

// Splits a command text (a pure function of the text).
CmdLineInfo CmdLine_ParseText(const std::string& cmdText);
// True when "/" + the upper-cased name occurs outside quotes anywhere in the upper-cased text.
bool CmdLine_HasCmdIn(const CmdLineInfo& info, const std::string& switchName);
// Clears list; an empty name adds FirstArg and answers whether it is non-empty; otherwise adds
// one value per occurrence of the switch from StartPos on (the first is the one that counts) and
// answers whether there was any.
bool CmdLine_GetCmdIn(const CmdLineInfo& info, const std::string& switchName, std::vector<std::string>& list);

// The process's command line: the text given here (main passes argv), else the one rebuilt from
// /proc/self/cmdline. Filled on first use and never refreshed; setting it again replaces it.
void CmdLine_SetText(const std::string& cmdText);
void CmdLine_SetArgs(int argc, const char* const* argv);
CmdLineInfo CmdLine_Current();
bool CmdLine_HasCmd(const std::string& switchName);
// As CmdLine_GetCmdIn on the process's command line. An exception inside gives false and is
// written to the trace log.
bool CmdLine_GetCmd(const std::string& switchName, std::vector<std::string>& list);

// Character routines (1-based positions).
bool CmdLine_InRange(const std::string& s, int32_t pos);
// Advances over blanks and TAB characters.
void CmdLine_SkipBlanks(const std::string& s, int32_t& pos);
// Skips blanks, an opening double quote if there, everything up to the next double quote, and
// that closing quote if there.
void CmdLine_SkipQuoted(const std::string& s, int32_t& pos);

}  // namespace tavelo
