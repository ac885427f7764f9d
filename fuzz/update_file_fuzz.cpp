// The update file's parser (app/internet_update): any reply the server may send, read as the
// update check reads a downloaded reply, then the date comparison and the question built from it.
//
// Input: the reply's bytes as they came over the wire.
#include <algorithm>
#include <functional>
#include <string>

#include "app/internet_update.h"
#include "fuzz/support/fuzz_env.h"

namespace {

using namespace tavelo;

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

void CheckValue(const std::string& reply, const std::string& value, const char* name) {
  // A value is the rest of one line of the reply.
  if (HasLineBreak(value)) fuzz::Broken(std::string(name) + " holds a line break");
  // (Boyer-Moore: a plain search is quadratic on long runs of one character.)
  if (!value.empty() &&
      std::search(reply.begin(), reply.end(), std::boyer_moore_searcher(value.begin(), value.end())) == reply.end())
    fuzz::Broken(std::string(name) + " \"" + value + "\" is not in the reply");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  fuzz::InputScope scope;
  QInternetUpdate u;
  u.OwnDate = 39954;  // 2009-05-21
  u.Reply.assign(reinterpret_cast<const char*>(data), size);
  u.ReadReplyValues();

  CheckValue(u.Reply, u.UpdateName, "UPDATE_NAME");
  CheckValue(u.Reply, u.UpdateVer, "UPDATE_VER");
  CheckValue(u.Reply, u.UpdateDate, "UPDATE_DATE");
  CheckValue(u.Reply, u.WhatsNewURL, "UPDATE_WHATSNEW_URL");
  CheckValue(u.Reply, u.UpdateURL, "UPDATE_URL");

  // Only lines that end, with their CR LF, within the first 98 characters are shown.
  const std::string head = u.Reply.substr(0, 98);
  if (u.Description.size() > 98 / 14) fuzz::Broken(std::to_string(u.Description.size()) + " description lines");
  for (const std::string& line : u.Description) {
    if (line.find("\r\n") != std::string::npos) fuzz::Broken("a description line holds CR LF");
    if (!line.empty() && (static_cast<unsigned char>(line.front()) <= ' ' || static_cast<unsigned char>(line.back()) <= ' '))
      fuzz::Broken("a description line is not trimmed");
    if (head.find(line) == std::string::npos) fuzz::Broken("the description line \"" + line + "\" lies past character 98");
  }

  // The release date as the check compares it, and the question the user would see.
  const TDateTime release = TextToDate(u.UpdateDate, 0);
  if (release < -693593 || release > 2958465) fuzz::Broken("a date outside the years 1 to 9999");
  const std::string question = UpdateFoundText(u);
  if (question.find("Jump to download page?") == std::string::npos) fuzz::Broken("the question lost its end");
  return 0;
}
