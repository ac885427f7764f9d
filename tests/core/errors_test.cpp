#include <gtest/gtest.h>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

TEST(ErrorText, ExactMessagesOfEveryTableClass) {
  EXPECT_EQ(ErrorText(4, 1), "Out of range.");
  EXPECT_EQ(ErrorText(4, 3), "Invalid variable type.");
  EXPECT_EQ(ErrorText(4, 99), "General \"GEN\" error.");
  EXPECT_EQ(ErrorText(5, 5), "Invalid memory request.");
  EXPECT_EQ(ErrorText(5, 6), "Fatal memory manager error.");
  EXPECT_EQ(ErrorText(5, 7), "General memory fault.");
  EXPECT_EQ(ErrorText(6, 11), "Fatal file manager fault.");
  EXPECT_EQ(ErrorText(6, 12), "General file handling fault.");
  EXPECT_EQ(ErrorText(7, 11), "Cannot create image file.");
  EXPECT_EQ(ErrorText(7, 12), "General image handling fault.");
  EXPECT_EQ(ErrorText(8, 4), "Invalid audio format.");
  EXPECT_EQ(ErrorText(8, 0x7FFFFFFF), "General audio handling fault.");
  EXPECT_EQ(ErrorText(9, 8), "Switching to DirectX interface for audio decode (ACM decompressor not found ?)");
  EXPECT_EQ(ErrorText(12, 7), "End of movie reached.");
  EXPECT_EQ(ErrorText(14, 9), "Cannot read from movie file.");
  EXPECT_EQ(ErrorText(14, 10), "General \"MVI\" handling fault.");
  EXPECT_EQ(ErrorText(13, 5), "Cannot seek in WAV file.");
  EXPECT_EQ(ErrorText(15, 1), "End of ZMV movie reached.");
  EXPECT_EQ(ErrorText(15, 2), "General \"ZMV\" handling fault.");
  EXPECT_EQ(ErrorText(16, 1), "UNI protocol fault.");
  EXPECT_EQ(ErrorText(16, 3), "General \"UNI\" handling fault.");
  EXPECT_EQ(ErrorText(17, 1), "End of FLIC movie reached.");
  EXPECT_EQ(ErrorText(17, 2), "General \"FLIC\" handling fault.");
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
