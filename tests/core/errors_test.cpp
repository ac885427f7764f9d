#include <gtest/gtest.h>

#include <vector>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

TEST(ErrorText, ExactMessagesOfEveryTableClass) {
  // Every numbered text of every table class, then each class's fallback (a code the table does
  // not list, and the largest code). The texts that name the last file are checked below.
  struct Table {
    int32_t cls;
    std::vector<const char*> texts;  // texts[i] is the text of code i + 1; "" where the file name goes
    const char* fallback;
  };
  const std::vector<Table> tables = {
      {4, {"Out of range.", "Not supported.", "Invalid variable type."}, "General \"GEN\" error."},
      {5,
       {"Memory allocation fault.", "Memory manager fault.", "Memory reallocation fault.",
        "Memory could not be deallocated.", "Invalid memory request.", "Fatal memory manager error."},
       "General memory fault."},
      {6,
       {"", "", "Cannot read from file.", "Cannot write to file.", "Cannot seek in file.", "", "",
        "Cannot close file.", "File not exist.", "File name change failed.", "Fatal file manager fault."},
       "General file handling fault."},
      {7,
       {"Image format not supported.", "Invalid image format.", "Cannot decompress image data.",
        "Image header invalid.", "Cannot compress image data.", "Cannot initialize image function.",
        "Cannot initialize image compression data.", "Cannot open image file.", "Image data corrupted.",
        "Cannot realize palette.", "Cannot create image file."},
       "General image handling fault."},
      {8,
       {"Audio conversion error.", "Audio conversion error (ACM).", "Audio conversion error (WAVE).",
        "Invalid audio format."},
       "General audio handling fault."},
      {9,
       {"Cannot read from AVI file.", "Cannot write to AVI file.", "Cannot read audio data from AVI file.",
        "Cannot write audio data to AVI file.", "Cannot open AVI file.", "Cannot create AVI file.",
        "Cannot initialize AVI codec.",
        "Switching to DirectX interface for audio decode (ACM decompressor not found ?)"},
       "General AVI handling fault."},
      {13,
       {"Cannot open WAV file.", "Cannot create WAV file.", "Cannot read from WAV file.", "Cannot write to WAV file.",
        "Cannot seek in WAV file."},
       "general \"WAV\" handling fault."},
      {15, {"End of ZMV movie reached."}, "General \"ZMV\" handling fault."},
      {16, {"UNI protocol fault."}, "General \"UNI\" handling fault."},
      {17, {"End of FLIC movie reached."}, "General \"FLIC\" handling fault."},
  };
  const std::vector<const char*> movie = {
      "Invalid movie format.",        "Cannot write to movie file.", "Cannot decompress movie image data.",
      "Cannot compress movie image data.", "Movie format not supported.", "Cannot open movie file.",
      "End of movie reached.",        "Cannot create movie file.",   "Cannot read from movie file."};
  std::vector<Table> all = tables;
  all.push_back({12, movie, "General \"MVI\" handling fault."});
  all.push_back({14, movie, "General \"MVI\" handling fault."});  // the second movie class shares the table
  int checked = 0;
  for (const Table& t : all) {
    for (size_t i = 0; i < t.texts.size(); ++i) {
      if (t.texts[i][0] == '\0') continue;
      EXPECT_EQ(ErrorText(t.cls, static_cast<int32_t>(i + 1)), t.texts[i]) << t.cls << ":" << i + 1;
      ++checked;
    }
    const int32_t beyond = static_cast<int32_t>(t.texts.size()) + 1;
    for (int32_t code : {beyond, beyond + 7, -1, 0x7FFFFFFF})
      EXPECT_EQ(ErrorText(t.cls, code), t.fallback) << t.cls << ":" << code;
  }
  EXPECT_EQ(checked, 65);
}

TEST(ErrorText, Class13FallbackIsLowerCase) { EXPECT_EQ(ErrorText(13, 6), "general \"WAV\" handling fault."); }

TEST(ErrorText, PrefixClassesPrintCodesUnsigned) {
  EXPECT_EQ(ErrorText(10, 7), "AVI subsystem malfunction: 7");
  EXPECT_EQ(ErrorText(11, -1), "Video For Windows malfunction: 4294967295");
  EXPECT_EQ(ErrorText(19, -2147221164), "Fatal error in Audio Compression Manager: 2147746132");
  EXPECT_EQ(ErrorText(20, 12), "Fatal error in Win-MM: 12");
}

TEST(ErrorText, UndefinedAndNoError) {
  EXPECT_EQ(ErrorText(18, 3), "Undefined error: 18:3");
  EXPECT_EQ(ErrorText(21, 1), "Undefined error: 21:1");
  EXPECT_EQ(ErrorText(-1, 1), "Undefined error: 4294967295:1");
  EXPECT_EQ(ErrorText(10, 0), "No errors.");
  EXPECT_EQ(ErrorText(0, 5), "No errors.");
}

TEST(ErrorText, FileMessagesInsertTheLastFileName) {
  const std::string dir = test::MakeTempDir("errors");
  int32_t h = 0;
  MonitoredNoRaise([&] { FOpen(h, dir + "/a.bmp", fmRead); });
  EXPECT_EQ(GetErrorClass(), ecFile);
  EXPECT_EQ(GetErrorCode(), 1);
  EXPECT_EQ(ErrorText(6, 1), "Cannot open file: " + dir + "/a.bmp");
  EXPECT_EQ(ErrorText(6, 2), "Cannot create file: " + dir + "/a.bmp");
  EXPECT_EQ(ErrorText(6, 6), "Cannot delete file: \"" + dir + "/a.bmp\". Is file open in another application?");
  EXPECT_EQ(ErrorText(6, 7), "Cannot append to file: " + dir + "/a.bmp");
}

TEST(SetError, ZeroClassOrCodeChangesNothing) {
  ClearError();
  SetError(7, 0, 10);
  SetError(0, 5, 11);
  EXPECT_TRUE(NoError());
  BeginMonitor();
  EXPECT_NO_THROW(SetError(7, 0, 12));
  EndMonitor();
  EXPECT_TRUE(NoError());
}

TEST(SetError, TextErrorsKeepThePreviousTextWhenEmpty) {
  SetErrorEx(ecText, kTextErrorCode, "codec said no", 5, true);
  EXPECT_EQ(ErrorText(ecText, kTextErrorCode), "codec said no");
  SetErrorEx(ecText, kTextErrorCode, "", 6, true);
  EXPECT_EQ(GetErrorStoredText(), "codec said no");
  EXPECT_EQ(GetErrorMessage(), "codec said no");
}

TEST(SetError, LockedStateDropsReportsAndClears) {
  SetErrorEx(ecImage, 3, "", 1, true);
  LockErrors();
  SetErrorEx(ecMemory, 1, "", 2, true);
  ClearError();
  UnlockErrors();
  EXPECT_EQ(GetErrorClass(), ecImage);
  EXPECT_EQ(GetErrorCode(), 3);
  // Locked reports never unwind.
  BeginMonitor();
  LockErrors();
  EXPECT_NO_THROW(SetError(5, 1, 3));
  UnlockErrors();
  EndMonitor();
  EXPECT_TRUE(NoError());
}

TEST(SetWarning, SlotIsIndependentOfTheError) {
  ClearError();
  SetWarning(ecFile, 8, 1);
  EXPECT_EQ(GetWarningClass(), ecFile);
  EXPECT_EQ(GetWarningCode(), 8);
  EXPECT_TRUE(NoError());
  SetWarning(ecFile, 0, 2);  // a zero code clears
  EXPECT_EQ(GetWarningClass(), 0);
  LockErrors();
  SetWarning(ecAvi, 8, 3);  // ignores the lock
  UnlockErrors();
  EXPECT_EQ(GetWarningCode(), 8);
}

}  // namespace
}  // namespace tavelo
