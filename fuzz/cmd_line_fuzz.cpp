// The command-line switch parser (core/services/cmd_line): any command text, and any argv
// rebuilt into one text as main does, asked for the program's switches.
//
// Input: byte 0 bit 0 chooses the form. Clear: the rest is the command text as it stands. Set:
// the rest is argv, its arguments separated by zero bytes (the program name first).
#include <string>
#include <vector>

#include "core/services/cmd_line.h"
#include "fuzz/support/fuzz_env.h"

namespace {

using namespace tavelo;

// The switches the program knows, a prefix of one of them, and the bare first argument.
const char* const kNames[] = {"", "log", "open", "play", "repeats", "close", "uninst", "op"};

void Ask(const CmdLineInfo& info) {
  const int32_t length = static_cast<int32_t>(info.CmdText.size());
  if (info.StartPos < 1 || info.StartPos > length + 1)
    fuzz::Broken("StartPos " + std::to_string(info.StartPos) + " in a text of " + std::to_string(length));
  for (const char* name : kNames) {
    std::vector<std::string> values;
    const bool found = CmdLine_GetCmdIn(info, name, values);
    const bool present = name[0] == 0 || CmdLine_HasCmdIn(info, name);
    // The values are pieces of the text as typed; a switch found from StartPos on is present.
    for (const std::string& v : values)
      if (info.CmdText.find(v) == std::string::npos) fuzz::Broken("the value \"" + v + "\" is not in the text");
    if (found && !present) fuzz::Broken(std::string("the switch ") + name + " has a value but is not present");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  fuzz::InputScope scope;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) {
    Ask(CmdLine_ParseText(rest));
    return 0;
  }
  std::vector<std::string> argv;
  size_t start = 0;
  while (start <= rest.size() && argv.size() < 64) {
    size_t end = rest.find('\0', start);
    if (end == std::string::npos) end = rest.size();
    argv.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  const CmdLineInfo info = CmdLine_ParseText(CmdLine_BuildText(argv));
  Ask(info);
  // A bare first argument comes back whole (quotes are dropped from arguments): a path such as
  // /home/u/open/a.avi is a file, never the switch "open".
  if (argv.size() >= 2) {
    std::vector<std::string> one{argv[0], argv[1]};
    std::string expected;
    for (char c : argv[1])
      if (c != '"') expected += c;
    const CmdLineInfo single = CmdLine_ParseText(CmdLine_BuildText(one));
    // A switch is written bare after the quoted program name, an argument in quotes.
    const size_t nameEnd = CmdLine_BuildText(std::vector<std::string>{argv[0]}).size();
    const bool isSwitch = single.CmdText.compare(nameEnd, 2, " /") == 0;
    if (!isSwitch && single.FirstArg != expected)
      fuzz::Broken("the argument \"" + argv[1] + "\" comes back as \"" + single.FirstArg + "\"");
  }
  return 0;
}
