#include <gtest/gtest.h>

#include <stdexcept>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "platform/msgbox/msgbox.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

// A monitored routine that allocates two blocks and opens a file, then fails with (7, 3).
int32_t FailingRoutine(const std::string& dir, void*& a, void*& b, int32_t& h) {
  TraceScope trace("Test.FailingRoutine");
  BeginMonitor();
  try {
    _memalloc_(a, 10, 1, "Test.Failing.a", mkResizable);
    _memalloc_(b, 20, 2, "Test.Failing.b", mkResizable);
    FOpen(h, dir + "/f.bin", fmCreate);
    SetError(ecImage, 3, 77);
    ADD_FAILURE() << "SetError inside a frame must unwind";
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return 0;
}

TEST(Monitor, FailedFrameReleasesWhatItTrackedOnly) {
  const std::string dir = test::MakeTempDir("mon");
  void* before = nullptr;
  ASSERT_EQ(_memalloc_(before, 8, 1, "Test.before", mkResizable), 0);
  int32_t hBefore = 0;
  ASSERT_EQ(FOpen(hBefore, dir + "/before.bin", fmCreate), 0);
  const int32_t mem0 = MemCount(), files0 = FCount();

  void *a = nullptr, *b = nullptr;
  int32_t h = 0;
  EXPECT_THROW(FailingRoutine(dir, a, b, h), EMon);
  EXPECT_EQ(GetErrorClass(), ecImage);
  EXPECT_EQ(GetErrorCode(), 3);
  EXPECT_EQ(MemCount(), mem0);
  EXPECT_EQ(FCount(), files0);
  EXPECT_TRUE(MemIsTracked(before));
  EXPECT_EQ(FSize(hBefore), 0);
  EXPECT_EQ(MonitorDepth(), 0);
  MemFree(before);
  FClose(hBefore);
}

TEST(Monitor, NoRaiseFrameStopsTheUnwinding) {
  const std::string dir = test::MakeTempDir("mon");
  void *a = nullptr, *b = nullptr;
  int32_t h = 0;
  BeginMonitorNoRaise();
  try {
    FailingRoutine(dir, a, b, h);
  } catch (...) {
    CatchException();
  }
  EXPECT_NO_THROW(EndMonitor());
  EXPECT_EQ(GetErrorClass(), ecImage);
  EXPECT_EQ(GetErrorCode(), 3);
  EXPECT_EQ(MemCount(), 0);
  EXPECT_EQ(FCount(), 0);
}

TEST(Monitor, RequestNoRaiseAppliesToTheNextFrameOnly) {
  RequestNoRaise();
  BeginMonitor();
  try {
    SetError(ecMovie, 9, 1);
  } catch (...) {
    CatchException();
  }
  EXPECT_NO_THROW(EndMonitor());
  EXPECT_EQ(GetErrorCode(), 9);
  BeginMonitor();
  try {
    SetError(ecMovie, 9, 1);
  } catch (...) {
    CatchException();
  }
  EXPECT_THROW(EndMonitor(), EMon);
}

TEST(Monitor, ForeignExceptionBecomesClass3) {
  const std::string path = test::MakeTempDir("mon") + "/log.txt";
  SetTraceFile(path);
  TraceStart("t");
  void* p = nullptr;
  const int32_t cls = MonitoredNoRaise([&] {
    _memalloc_(p, 100, 1, "Test.p", mkResizable);
    throw std::runtime_error("boom");
  });
  EXPECT_EQ(cls, ecException);
  EXPECT_EQ(GetErrorCode(), kTextErrorCode);
  EXPECT_NE(GetErrorMessage().find("Exception std::runtime_error in module "), std::string::npos);
  EXPECT_NE(GetErrorMessage().find("boom"), std::string::npos);
  EXPECT_EQ(MemCount(), 0);
  TraceStop();
  EXPECT_NE(test::ReadFile(path).find("!3:2147483647;\"Exception std::runtime_error"), std::string::npos);
}

// A no-raise call earlier in the frame may leave its error in the slot: a foreign exception after
// it still fails the frame, releases what the frame tracked and never ends as success.
TEST(Monitor, ForeignExceptionAfterAHeldErrorStillFails) {
  const int32_t mem0 = MemCount();
  void* p = nullptr;
  auto work = [&] {
    SetErrorEx(ecImage, 9, "", 1, true);  // kept, not raised
    _memalloc_(p, 64, 1, "Test.held", mkResizable);
    throw std::runtime_error("after the held error");
  };
  EXPECT_THROW(Monitored(work), EMon);
  EXPECT_EQ(GetErrorClass(), ecException);
  EXPECT_NE(GetErrorMessage().find("after the held error"), std::string::npos);
  EXPECT_EQ(MemCount(), mem0);
  EXPECT_EQ(MonitorDepth(), 0);

  EXPECT_EQ(MonitoredNoRaise(work), ecException);
  EXPECT_EQ(GetErrorCode(), kTextErrorCode);
  EXPECT_EQ(MemCount(), mem0);
}

TEST(Monitor, AbortMonitorLeavesSilently) {
  void* p = nullptr;
  ASSERT_EQ(_memalloc_(p, 4, 1, "Test.kept", mkResizable), 0);
  bool reached = false;
  BeginMonitor();
  try {
    AbortMonitor();
    reached = true;
  } catch (...) {
    CatchException();
  }
  EXPECT_NO_THROW(EndMonitor());
  EXPECT_FALSE(reached);
  EXPECT_TRUE(NoError());
  EXPECT_TRUE(MemIsTracked(p));
  MemFree(p);
}

TEST(Monitor, AbortedInnerFrameDoesNotDisarmTheOuterFrame) {
  BeginMonitor();
  try {
    Monitored([] { AbortMonitor(); });
    // A later error in the outer frame must still unwind it.
    SetError(ecFile, 3, 1);
    ADD_FAILURE() << "not unwound";
  } catch (...) {
    CatchException();
  }
  EXPECT_THROW(EndMonitor(), EMon);
  EXPECT_EQ(GetErrorCode(), 3);
}

TEST(Monitor, MarksAreSequenceNumbersNotCounts) {
  // An older block freed inside the frame moves a newer entry below the count the frame saw.
  void* older = nullptr;
  ASSERT_EQ(_memalloc_(older, 16, 1, "Test.older", mkResizable), 0);
  void* inner = nullptr;
  EXPECT_EQ(MonitoredNoRaise([&] {
              _memalloc_(inner, 16, 2, "Test.inner", mkResizable);
              MemFree(older);
              SetError(ecGeneral, 1, 3);
            }),
            ecGeneral);
  EXPECT_EQ(MemCount(), 0) << "the block made inside the failed frame leaked";
}

TEST(Monitor, NestedFramesUnwindToTheNoRaiseFrame) {
  int depthSeen = 0;
  const int32_t cls = MonitoredNoRaise([&] {
    Monitored([&] {
      Monitored([&] {
        depthSeen = MonitorDepth();
        SetError(ecZmv, 2, 1);
      });
    });
  });
  EXPECT_EQ(depthSeen, 3);
  EXPECT_EQ(cls, ecZmv);
  EXPECT_EQ(MonitorDepth(), 0);
}

TEST(Monitor, EndMonitorSkipStepIsClampedAtTheBottom) {
  // Three caught exceptions with one frame open: the skip would pass the bottom frame.
  BeginMonitorNoRaise();
  for (int i = 0; i < 3; ++i) {
    try {
      throw std::logic_error("x");
    } catch (...) {
      CatchException();
    }
  }
  EXPECT_NO_THROW(EndMonitor());
  EXPECT_EQ(MonitorDepth(), 0);
  EXPECT_EQ(GetErrorClass(), ecException);
}

namespace {
std::string g_boxText, g_boxTitle;
int g_exitCode = -1;
int CaptureBox(void*, const std::string& text, const std::string& title, platform::MessageIcon) {
  g_boxText = text;
  g_boxTitle = title;
  return 0;
}
void RecordExit(int code) { g_exitCode = code; }
}  // namespace

TEST(Monitor, FrameOverflowIsFatal) {
  platform::SetMessageSink(&CaptureBox);
  SetProgramExitHook(&RecordExit);
  for (int i = 0; i < kMonitorStackSize; ++i) BeginMonitorNoRaise();
  EXPECT_EQ(g_exitCode, -1);
  BeginMonitorNoRaise();
  EXPECT_EQ(g_exitCode, 3);
  EXPECT_EQ(g_boxText, "Fatal error: internal monitoring overflow.");
  EXPECT_EQ(g_boxTitle, "Error");
  EXPECT_EQ(MonitorDepth(), kMonitorStackSize);
  for (int i = 0; i < kMonitorStackSize; ++i) EndMonitor();
  SetProgramExitHook(nullptr);
  platform::SetMessageSink(nullptr);
}

}  // namespace
}  // namespace tavelo
