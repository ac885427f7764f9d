// Numbered-sequence names (formats/ff_seq): splitting a file name into prefix, number and suffix
// under any options, building member names back, and detecting and scanning a sequence in a real
// folder that holds the described file and the members the input asks for.
//
// Input: two bytes of options (the low 12 bits: position, detection, negative numbers), one byte
// with the count of members to create after the described file (0..7) and whether to leave a gap
// before the last, then the bare file name (a '/' or a zero byte ends it).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "formats/ff_seq.h"
#include "fuzz/support/fuzz_env.h"

namespace {

using namespace tavelo;

bool Touch(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int32_t options = (data[0] | (data[1] << 8)) & 0xFFF;
  const int32_t members = data[2] & 7;
  const bool gap = (data[2] & 8) != 0;
  std::string bare;
  for (size_t i = 3; i < size && data[i] != '/' && data[i] != 0 && bare.size() < 200; ++i)
    bare += static_cast<char>(data[i]);
  // "." and ".." name folders, not files.
  if (bare.empty() || bare == "." || bare == "..") return 0;

  fuzz::InputScope scope;
  const std::string folder = fuzz::PrivateFolder() + "/seq";
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/" + bare;

  SeqRec seq;
  SeqSplit(seq, path, options);
  if (seq.DigitCount < 0 || seq.DigitCount > 6) fuzz::Broken("DigitCount " + std::to_string(seq.DigitCount));
  // The first member is the described file itself: frame 1 of a sequence is read by this name.
  std::string first;
  SeqGetFileName(seq, 1, first);
  if (seq.DigitCount > 0 ? first != path : seq.Prefix + seq.Suffix != path)
    fuzz::Broken("\"" + path + "\" splits into \"" + seq.Prefix + "\" " + std::to_string(seq.StartNumber) + " \"" +
                 seq.Suffix + "\", whose first member is \"" + first + "\"");

  // The described file and members 2 .. members + 1 (with a gap before the last one when asked).
  bool made = Touch(path, "1");
  int32_t run = made ? 1 : 0;
  for (int32_t n = 2; made && n <= members + 1; ++n) {
    if (gap && n == members + 1) break;
    std::string name;
    SeqGetFileName(seq, n, name);
    if (name.rfind(folder + "/", 0) != 0 || name.find('/', folder.size() + 1) != std::string::npos) break;
    if (!Touch(name, std::string(static_cast<size_t>(n), 'x'))) break;
    ++run;
  }
  if (gap && members >= 1) {
    std::string name;
    SeqGetFileName(seq, members + 2, name);
    if (name.rfind(folder + "/", 0) == 0 && name.find('/', folder.size() + 1) == std::string::npos) Touch(name, "gap");
  }

  SeqRec found;
  if (SeqDetect(found, path, options)) {
    SeqScan(found, nullptr, nullptr);
    // Members the scan counts must all exist: frame n of the sequence opens member n.
    for (int32_t n = 1; n <= found.Count && n <= 16; ++n) {
      std::string name;
      SeqGetFileName(found, n, name);
      if (::access(name.c_str(), F_OK) != 0)
        fuzz::Broken("the scan of \"" + path + "\" counts " + std::to_string(found.Count) + " members, but member " +
                     std::to_string(n) + " \"" + name + "\" does not exist");
    }
    // And none of the run that was made is missed.
    if (made && found.Count != run)
      fuzz::Broken("the scan of \"" + path + "\" counts " + std::to_string(found.Count) + " members of " +
                   std::to_string(run));
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
