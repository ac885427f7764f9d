// What every fuzz target shares: a private environment, the input as a file, and the checks that
// one input left nothing behind.
//
// The targets drive the program's own routines, which read files by name and pick the unit by the
// name's extension, so each input is written to a file in a private folder first (on tmpfs when
// there is one). Every target runs with the picture size capped at 4096 x 4096 pixels through
// the format layer's test seam: a header alone can describe a picture of 2e9 bytes, and an input
// that only makes every run fill such a picture finds nothing but slowness.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavelo::fuzz {

// The side limit of pictures while fuzzing.
constexpr int32_t kFuzzPictureSide = 4096;

// Once per process (LLVMFuzzerInitialize): a private folder with HOME and the XDG folders inside
// it, the codec libraries of the build, the format tables and the dispatcher's initialization,
// the picture cap. Standard error stays quiet about the program's own error reports.
void InitEnvironment();

// The private folder (removed when the process ends normally).
const std::string& PrivateFolder();

// Writes the input to PrivateFolder() + "/" + name, replacing what was there; returns the path.
std::string WriteInput(const std::string& name, const uint8_t* data, size_t size);

// Brackets the work on one input. Afterwards no tracked memory block or file made during it may
// remain, no monitor frame may be open and the error state must not be locked: anything else is
// a leak or a broken frame, reported with the owner tags and turned into a crash (abort), which
// libFuzzer records like any other.
class InputScope {
 public:
  InputScope();
  ~InputScope();
  InputScope(const InputScope&) = delete;
  InputScope& operator=(const InputScope&) = delete;

 private:
  int32_t memCount_;
  int32_t fileCount_;
  int64_t memMark_;
  int64_t fileMark_;
};

// Stops the run with a message: an invariant of the program broke on this input.
[[noreturn]] void Broken(const std::string& what);

// Reads every byte of a buffer, so that a buffer shorter than its owner claims is found by the
// address sanitizer here rather than later somewhere else.
void Touch(const void* data, int64_t bytes);

}  // namespace tavelo::fuzz
