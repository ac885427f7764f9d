// The error state: one current error and one current warning per thread, each an error class
// (which area failed), a code (what failed there) and, for text-only errors, a message text.
// Setting an error writes it to the trace log and, inside a monitor frame, unwinds to that frame.
#pragma once
#include <cstdint>
#include <string>

namespace tavelo {

using ErrorClass = int32_t;

enum : int32_t {
  ecNone = 0,
  ecText = 1,
  ecText2 = 2,
  ecException = 3,
  ecGeneral = 4,
  ecMemory = 5,
  ecFile = 6,
  ecImage = 7,
  ecAudio = 8,
  ecAvi = 9,
  ecAviSys = 10,
  ecVfw = 11,
  ecMovie = 12,
  ecWav = 13,
  ecMovie2 = 14,
  ecZmv = 15,
  ecUni = 16,
  ecFlic = 17,
  ecAcm = 19,
  ecWinMM = 20,
};

// The code of a text-only error: its message is the stored text.
constexpr int32_t kTextErrorCode = 0x7FFFFFFF;

// The one routine that sets the error. While the error state is locked it does nothing.
// A non-zero class and code are stored, logged ('!' lines) and, unless noRaise, unwind the
// innermost monitor frame (throws EMon).
void SetErrorEx(ErrorClass cls, int32_t code, const std::string& text, int32_t line, bool noRaise);
void SetError(ErrorClass cls, int32_t code, int32_t line);
void SetErrorText(ErrorClass cls, const std::string& text, int32_t line);
void ClearError();
ErrorClass GetErrorClass();
int32_t GetErrorCode();
bool NoError();
// The stored text of the current error (read for classes 1 to 3).
const std::string& GetErrorStoredText();
// The message of the current error: ErrorText(GetErrorClass(), GetErrorCode()).
std::string GetErrorMessage();

void LockErrors();
void UnlockErrors();
bool ErrorsLocked();

// Writes the error slot directly, bypassing the lock, the log and the unwinding (monitor frames
// restore the error of the frame they close this way).
void StoreErrorDirect(ErrorClass cls, int32_t code);
void StoreErrorDirect(ErrorClass cls, int32_t code, const std::string& text);

void SetWarningEx(ErrorClass cls, int32_t code, const std::string& text, int32_t line);
void SetWarning(ErrorClass cls, int32_t code, int32_t line);
void SetWarningText(ErrorClass cls, const std::string& text, int32_t line);
void ClearWarning();
ErrorClass GetWarningClass();
int32_t GetWarningCode();
const std::string& GetWarningText();

// The name remembered by the tracked-file routines before each open, delete and rename.
std::string& LastFileName();

// Message texts.
std::string ErrorText(ErrorClass cls, int32_t code);
std::string GenErrorText(int32_t code);
std::string MemErrorText(int32_t code);
std::string FileErrorText(int32_t code);
std::string ImgErrorText(int32_t code);
std::string AudioErrorText(int32_t code);
std::string AviErrorText(int32_t code);
std::string MviErrorText(int32_t code);
std::string WavErrorText(int32_t code);
std::string ZmvErrorText(int32_t code);
std::string UniErrorText(int32_t code);
std::string FlicErrorText(int32_t code);

// Releases the stored texts at program end.
void ReleaseErrorTexts();

}  // namespace tavelo
