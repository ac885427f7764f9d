// Monitored work on two threads at once: one thread's failure must leave the other thread's
// blocks, files and error state untouched. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

TEST(Threads, OneThreadsFailureLeavesTheOtherUntouched) {
  const std::string dir = test::MakeTempDir("threads");
  SetTraceFile(dir + "/log.txt");
  TraceStart("threads");
  for (int round = 0; round < 20; ++round) {
    std::barrier sync(2);
    void* keptBlock = nullptr;
    int32_t keptFile = 0;
    bool keeperOk = false, keeperBlockAlive = false, keeperFileAlive = false;
    int32_t failerClass = 0, failerCode = 0;

    std::thread keeper([&] {
      MonitoredNoRaise([&] {
        TraceScope trace("Keeper.Work");
        _memalloc_(keptBlock, 64, 1, "Keeper.block", mkResizable);
        FOpen(keptFile, dir + "/keeper" + std::to_string(round), fmCreate);
        sync.arrive_and_wait();  // both hold their resources
        sync.arrive_and_wait();  // the other thread has failed
        keeperBlockAlive = MemIsTracked(keptBlock);
        keeperFileAlive = FWrite(keptFile, "ok", 2) == 0 && FSize(keptFile) == 2;
      });
      keeperOk = NoError();
    });
    std::thread failer([&] {
      MonitoredNoRaise([&] {
        TraceScope trace("Failer.Work");
        void* block = nullptr;
        int32_t file = 0;
        _memalloc_(block, 64, 2, "Failer.block", mkResizable);
        FOpen(file, dir + "/failer" + std::to_string(round), fmCreate);
        sync.arrive_and_wait();
        SetError(ecImage, 9, 3);
      });
      failerClass = GetErrorClass();
      failerCode = GetErrorCode();
      sync.arrive_and_wait();
    });
    keeper.join();
    failer.join();

    EXPECT_EQ(failerClass, ecImage);
    EXPECT_EQ(failerCode, 9);
    EXPECT_TRUE(keeperOk);
    EXPECT_TRUE(keeperBlockAlive);
    EXPECT_TRUE(keeperFileAlive);
    // Only the keeper's block and file are left.
    EXPECT_EQ(MemCount(), 1);
    EXPECT_EQ(FCount(), 1);
    MemFree(keptBlock);
    FClose(keptFile);
  }
  TraceStop();
  // Every error line is followed by its own stack line: the writers never interleave.
  const std::string log = test::ReadFile(dir + "/log.txt");
  size_t pos = 0, errors = 0;
  while ((pos = log.find("!7:9;\"Image data corrupted.\"\r\n", pos)) != std::string::npos) {
    pos = log.find("\r\n", pos) + 2;
    EXPECT_EQ(log.substr(pos, 16), "@Failer.Work;3\r\n") << "expected the failing thread's stack line";
    ++errors;
  }
  EXPECT_EQ(errors, 20u);
}

TEST(Threads, ErrorStateIsPerThread) {
  SetErrorEx(ecFile, 3, "", 1, true);
  int32_t other = -1;
  std::thread t([&] { other = GetErrorClass(); });
  t.join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(GetErrorClass(), ecFile);
}

}  // namespace
}  // namespace tavelo
