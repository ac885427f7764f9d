#include "core/services/errors.h"

#include "core/services/basic.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"

namespace tavelo {

namespace {

struct ErrorSlot {
  ErrorClass Class = 0;
  int32_t Code = 0;
  std::string Text;
  bool Locked = false;
};

// One error slot, one warning slot and one remembered file name per thread: a worker thread's
// failure never overwrites the main thread's error.
thread_local ErrorSlot t_error;
thread_local ErrorSlot t_warning;
thread_local std::string t_lastFileName;

std::string Num(int32_t code) { return IntToStrW(static_cast<uint32_t>(code), 0); }

}  // namespace

void SetErrorEx(ErrorClass cls, int32_t code, const std::string& text, int32_t line, bool noRaise) {
  if (t_error.Locked) return;
  t_error.Locked = true;
  if (cls != 0 && code != 0) {
    t_error.Class = cls;
    t_error.Code = code;
    if (!text.empty()) t_error.Text = text;
    TraceErr(cls, code, line);
    // The names of the routines still running would otherwise be repeated by a later error.
    ClearCallStack();
  }
  t_error.Locked = false;
  if (!noRaise) RaiseInMonitor(cls, code);
}

void SetError(ErrorClass cls, int32_t code, int32_t line) { SetErrorEx(cls, code, std::string(), line, false); }

void SetErrorText(ErrorClass cls, const std::string& text, int32_t line) {
  SetErrorEx(cls, kTextErrorCode, text, line, false);
}

void ClearError() {
  if (t_error.Locked) return;
  t_error.Class = 0;
  t_error.Code = 0;
}

ErrorClass GetErrorClass() { return t_error.Class; }
int32_t GetErrorCode() { return t_error.Code; }
bool NoError() { return t_error.Class == 0 && t_error.Code == 0; }
const std::string& GetErrorStoredText() { return t_error.Text; }
std::string GetErrorMessage() { return ErrorText(t_error.Class, t_error.Code); }

void LockErrors() { t_error.Locked = true; }
void UnlockErrors() { t_error.Locked = false; }
bool ErrorsLocked() { return t_error.Locked; }

void StoreErrorDirect(ErrorClass cls, int32_t code) {
  t_error.Class = cls;
  t_error.Code = code;
}

void StoreErrorDirect(ErrorClass cls, int32_t code, const std::string& text) {
  t_error.Class = cls;
  t_error.Code = code;
  t_error.Text = text;
}

void SetWarningEx(ErrorClass cls, int32_t code, const std::string& text, int32_t line) {
  if (cls != 0 && code != 0) {
    t_warning.Class = cls;
    t_warning.Code = code;
    if (!text.empty()) t_warning.Text = text;
    TraceWarn(cls, code, line);
  } else {
    ClearWarning();
  }
}

void SetWarning(ErrorClass cls, int32_t code, int32_t line) { SetWarningEx(cls, code, std::string(), line); }

void SetWarningText(ErrorClass cls, const std::string& text, int32_t line) {
  SetWarningEx(cls, kTextErrorCode, text, line);
}

void ClearWarning() {
  t_warning.Class = 0;
  t_warning.Code = 0;
}

ErrorClass GetWarningClass() { return t_warning.Class; }
int32_t GetWarningCode() { return t_warning.Code; }
const std::string& GetWarningText() { return t_warning.Text; }

std::string& LastFileName() { return t_lastFileName; }

void ReleaseErrorTexts() {
  t_error.Text.clear();
  t_error.Text.shrink_to_fit();
  t_warning.Text.clear();
  t_warning.Text.shrink_to_fit();
}

// ---- message texts -------------------------------------------------------------------------

std::string GenErrorText(int32_t code) {
  switch (code) {
    case 1: return "Out of range.";
    case 2: return "Not supported.";
    case 3: return "Invalid variable type.";
    default: return "General \"GEN\" error.";
  }
}

std::string MemErrorText(int32_t code) {
  switch (code) {
    case 1: return "Memory allocation fault.";
    case 2: return "Memory manager fault.";
    case 3: return "Memory reallocation fault.";
    case 4: return "Memory could not be deallocated.";
    case 5: return "Invalid memory request.";
    case 6: return "Fatal memory manager error.";
    default: return "General memory fault.";
  }
}

std::string FileErrorText(int32_t code) {
  switch (code) {
    case 1: return "Cannot open file: " + t_lastFileName;
    case 2: return "Cannot create file: " + t_lastFileName;
    case 3: return "Cannot read from file.";
    case 4: return "Cannot write to file.";
    case 5: return "Cannot seek in file.";
    case 6: return "Cannot delete file: \"" + t_lastFileName + "\". Is file open in another application?";
    case 7: return "Cannot append to file: " + t_lastFileName;
    case 8: return "Cannot close file.";
    case 9: return "File not exist.";
    case 10: return "File name change failed.";
    case 11: return "Fatal file manager fault.";
    default: return "General file handling fault.";
  }
}

std::string ImgErrorText(int32_t code) {
  switch (code) {
    case 1: return "Image format not supported.";
    case 2: return "Invalid image format.";
    case 3: return "Cannot decompress image data.";
    case 4: return "Image header invalid.";
    case 5: return "Cannot compress image data.";
    case 6: return "Cannot initialize image function.";
    case 7: return "Cannot initialize image compression data.";
    case 8: return "Cannot open image file.";
    case 9: return "Image data corrupted.";
    case 10: return "Cannot realize palette.";
    case 11: return "Cannot create image file.";
    default: return "General image handling fault.";
  }
}

std::string AudioErrorText(int32_t code) {
  switch (code) {
    case 1: return "Audio conversion error.";
    case 2: return "Audio conversion error (ACM).";
    case 3: return "Audio conversion error (WAVE).";
    case 4: return "Invalid audio format.";
    default: return "General audio handling fault.";
  }
}

std::string AviErrorText(int32_t code) {
  switch (code) {
    case 1: return "Cannot read from AVI file.";
    case 2: return "Cannot write to AVI file.";
    case 3: return "Cannot read audio data from AVI file.";
    case 4: return "Cannot write audio data to AVI file.";
    case 5: return "Cannot open AVI file.";
    case 6: return "Cannot create AVI file.";
    case 7: return "Cannot initialize AVI codec.";
    case 8: return "Switching to DirectX interface for audio decode (ACM decompressor not found ?)";
    default: return "General AVI handling fault.";
  }
}

std::string MviErrorText(int32_t code) {
  switch (code) {
    case 1: return "Invalid movie format.";
    case 2: return "Cannot write to movie file.";
    case 3: return "Cannot decompress movie image data.";
    case 4: return "Cannot compress movie image data.";
    case 5: return "Movie format not supported.";
    case 6: return "Cannot open movie file.";
    case 7: return "End of movie reached.";
    case 8: return "Cannot create movie file.";
    case 9: return "Cannot read from movie file.";
    default: return "General \"MVI\" handling fault.";
  }
}

std::string WavErrorText(int32_t code) {
  switch (code) {
    case 1: return "Cannot open WAV file.";
    case 2: return "Cannot create WAV file.";
    case 3: return "Cannot read from WAV file.";
    case 4: return "Cannot write to WAV file.";
    case 5: return "Cannot seek in WAV file.";
    default: return "general \"WAV\" handling fault.";
  }
}

std::string ZmvErrorText(int32_t code) {
  return code == 1 ? "End of ZMV movie reached." : "General \"ZMV\" handling fault.";
}

std::string UniErrorText(int32_t code) { return code == 1 ? "UNI protocol fault." : "General \"UNI\" handling fault."; }

std::string FlicErrorText(int32_t code) {
  return code == 1 ? "End of FLIC movie reached." : "General \"FLIC\" handling fault.";
}

std::string ErrorText(ErrorClass cls, int32_t code) {
  if (cls == 0 || code == 0) return "No errors.";
  switch (cls) {
    case ecText:
    case ecText2:
    case ecException: return t_error.Text;
    case ecGeneral: return GenErrorText(code);
    case ecMemory: return MemErrorText(code);
    case ecFile: return FileErrorText(code);
    case ecImage: return ImgErrorText(code);
    case ecAudio: return AudioErrorText(code);
    case ecAvi: return AviErrorText(code);
    case ecAviSys: return "AVI subsystem malfunction: " + Num(code);
    case ecVfw: return "Video For Windows malfunction: " + Num(code);
    case ecMovie:
    case ecMovie2: return MviErrorText(code);
    case ecWav: return WavErrorText(code);
    case ecZmv: return ZmvErrorText(code);
    case ecUni: return UniErrorText(code);
    case ecFlic: return FlicErrorText(code);
    case ecAcm: return "Fatal error in Audio Compression Manager: " + Num(code);
    case ecWinMM: return "Fatal error in Win-MM: " + Num(code);
    default: return "Undefined error: " + Num(cls) + ":" + Num(code);
  }
}

}  // namespace tavelo
