#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <vector>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "tests/support/special_files.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

int32_t ErrorOf(const std::function<void()>& work) {
  MonitoredNoRaise(work);
  return GetErrorClass() == 0 ? 0 : GetErrorCode();
}

TEST(Files, HandlesAreNeverReused) {
  const std::string dir = test::MakeTempDir("files");
  int32_t h1 = 0, h2 = 0, h3 = 0;
  ASSERT_EQ(FOpen(h1, dir + "/a", fmCreate), 0);
  FClose(h1);
  ASSERT_EQ(TXTOpen(h2, dir + "/b", fmCreate), 0);
  ASSERT_EQ(FOpen(h3, dir + "/a", fmRead), 0);
  EXPECT_EQ(h2, h1 + 1);
  EXPECT_EQ(h3, h1 + 2);
  TXTClose(h2);
  FClose(h3);
}

TEST(Files, AppendModePositionsAtTheEnd) {
  const std::string dir = test::MakeTempDir("files");
  test::WriteFile(dir + "/ten", "0123456789");
  int32_t h = 0;
  ASSERT_EQ(FOpen(h, dir + "/ten", fmAppend), 0);
  EXPECT_EQ(FPos(h), 10);
  EXPECT_TRUE(FEof(h));
  FClose(h);
  EXPECT_EQ(ErrorOf([&] { FOpen(h, dir + "/missing", fmAppend); }), 7);
  EXPECT_EQ(h, kBadHandle);
  EXPECT_EQ(GetErrorMessage(), "Cannot append to file: " + dir + "/missing");
}

TEST(Files, ShortReadFailsButKeepsTheBytes) {
  const std::string dir = test::MakeTempDir("files");
  test::WriteFile(dir + "/data", std::string(100, 'x') + std::string(40, 'y'));
  int32_t h = 0;
  ASSERT_EQ(FOpen(h, dir + "/data", fmRead), 0);
  EXPECT_EQ(FSize(h), 140);
  ASSERT_EQ(FSeek(h, 100), 0);
  std::vector<char> buf(100, 0);
  EXPECT_EQ(ErrorOf([&] { FRead(h, buf.data(), 100); }), 3);
  EXPECT_EQ(std::string(buf.data(), 40), std::string(40, 'y'));
  ASSERT_EQ(FSeek(h, 0), 0);
  int64_t done = 0;
  EXPECT_TRUE(FTryRead(h, buf.data(), 100, done));
  EXPECT_EQ(done, 100);
  EXPECT_FALSE(FTryRead(h, buf.data(), 100, done));
  EXPECT_EQ(done, 40);
  FClose(h);
}

TEST(Files, UnknownHandlesFailAndAnswerTheMarker) {
  char buf[4] = {};
  EXPECT_EQ(ErrorOf([&] { FRead(999999, buf, 4); }), 3);
  EXPECT_EQ(ErrorOf([&] { FWrite(999999, buf, 4); }), 4);
  EXPECT_EQ(ErrorOf([&] { FSeek(999999, 0); }), 5);
  EXPECT_EQ(ErrorOf([&] { TXTWrite(999999, "x"); }), 4);
  // A count below 1 does nothing and succeeds.
  EXPECT_EQ(ErrorOf([&] { FRead(999999, buf, 0); }), 0);
  EXPECT_EQ(FSize(999999), 0x7FFFFFFF);
  EXPECT_EQ(FPos(999999), 0x7FFFFFFF);
  EXPECT_TRUE(FEof(999999));
  FClose(999999);  // nothing
}

TEST(Files, ClosingMovesTheLastEntry) {
  const std::string dir = test::MakeTempDir("files");
  int32_t h[3];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(FOpen(h[i], dir + "/f" + std::to_string(i), fmCreate), 0);
  FClose(h[0]);
  EXPECT_EQ(FCount(), 2);
  EXPECT_EQ(FEntry(0).Handle, h[2]);
  EXPECT_EQ(FWrite(h[1], "ab", 2), 0);
  EXPECT_EQ(FWrite(h[2], "abc", 3), 0);
  EXPECT_EQ(FSize(h[1]), 2);
  EXPECT_EQ(FSize(h[2]), 3);
  FClose(h[1]);
  FClose(h[2]);
  EXPECT_EQ(FSize(h[2]), 0x7FFFFFFF);
}

TEST(Files, TheTableHolds256AndLeaksNoDescriptor) {
  const std::string dir = test::MakeTempDir("files");
  std::vector<int32_t> handles;
  for (int i = 0; i < kMaxTrackedFiles; ++i) {
    int32_t h = 0;
    ASSERT_EQ(FOpen(h, dir + "/f" + std::to_string(i), fmCreate), 0) << i;
    handles.push_back(h);
  }
  const int fds = OpenDescriptors();
  int32_t h = 0;
  EXPECT_EQ(ErrorOf([&] { FOpen(h, dir + "/one-more", fmCreate); }), 11);
  EXPECT_EQ(GetErrorMessage(), "Fatal file manager fault.");
  EXPECT_EQ(h, kBadHandle);
  EXPECT_EQ(ErrorOf([&] { TXTOpen(h, dir + "/one-more.txt", fmCreate); }), 11);
  EXPECT_EQ(FCount(), kMaxTrackedFiles);
  EXPECT_EQ(OpenDescriptors(), fds);
  for (int32_t x : handles) FClose(x);
  EXPECT_EQ(FCount(), 0);
}

TEST(Files, DeleteAndRename) {
  const std::string dir = test::MakeTempDir("files");
  test::WriteFile(dir + "/ro", "x");
  chmod((dir + "/ro").c_str(), 0444);
  EXPECT_EQ(FDelete(dir + "/ro"), 0);
  EXPECT_EQ(FSizeByName(dir + "/ro"), 0);
  EXPECT_EQ(FDelete(dir + "/never-there"), 0);
  test::WriteFile(dir + "/old", "12345");
  EXPECT_EQ(FRename(dir + "/old", dir + "/new"), 0);
  EXPECT_EQ(FSizeByName(dir + "/new"), 5);
  EXPECT_EQ(ErrorOf([&] { FRename(dir + "/gone", dir + "/x"); }), 10);
  EXPECT_EQ(ErrorOf([&] { FDelete(dir); }), 6);  // a folder is not deleted as a file
}

TEST(Files, TextFilesWriteCrLfLines) {
  const std::string dir = test::MakeTempDir("files");
  int32_t h = 0;
  ASSERT_EQ(TXTOpen(h, dir + "/t.txt", fmCreate), 0);
  ASSERT_EQ(TXTWrite(h, "one"), 0);
  TXTClose(h);
  ASSERT_EQ(TXTOpen(h, dir + "/t.txt", fmAppend), 0);
  ASSERT_EQ(TXTWrite(h, "two"), 0);
  TXTClose(h);
  EXPECT_EQ(test::ReadFile(dir + "/t.txt"), "one\r\ntwo\r\n");
  EXPECT_EQ(ErrorOf([&] { TXTOpen(h, dir + "/nope.txt", 0); }), 1);
  EXPECT_EQ(ErrorOf([&] { FOpen(h, dir, fmRead); }), 1);  // folders are not files
}

// Opening something that is not a regular file fails at once with the open's own error, in
// every mode: a FIFO would otherwise wait for a peer for ever.
TEST(Files, SpecialFilesAreRefusedWithoutBlocking) {
  const std::string dir = test::MakeTempDir("files");
  const std::string fifo = dir + "/fifo";
  ASSERT_TRUE(test::MakeFifo(fifo));
  const int sock = test::MakeSocketFile(dir + "/sock");
  ASSERT_GE(sock, 0);
  struct Case {
    bool text;
    int32_t mode;
    int32_t code;
  };
  const Case cases[] = {{false, fmRead, 1},  {false, fmWrite, 1}, {false, fmRead | fmWrite, 1},
                        {false, fmCreate, 2}, {false, fmAppend, 7}, {true, 0, 1},
                        {true, fmCreate, 2},  {true, fmAppend, 7}};
  for (const std::string& name : {fifo, dir + "/sock", std::string("/dev/null")}) {
    for (const Case& c : cases) {
      int32_t h = 0, code = -1;
      const bool ended = test::EndsWithoutBlocking(fifo, [&] {
        code = ErrorOf([&] { c.text ? TXTOpen(h, name, c.mode) : FOpen(h, name, c.mode); });
      });
      EXPECT_TRUE(ended) << name << " mode " << c.mode << " blocked";
      EXPECT_EQ(code, c.code) << name << " mode " << c.mode;
      EXPECT_EQ(h, kBadHandle);
    }
  }
  EXPECT_EQ(FCount(), 0);
  ::close(sock);
}

// A name with a NUL byte would reach the system cut at the NUL, naming another file.
TEST(Files, NamesHoldingANulAreRefused) {
  const std::string dir = test::MakeTempDir("files");
  const std::string real = dir + "/a";
  const std::string withNul = real + std::string(1, '\0') + "b";
  test::WriteFile(real, "12345");
  int32_t h = 0;
  EXPECT_EQ(ErrorOf([&] { FOpen(h, withNul, fmRead); }), 1);
  EXPECT_EQ(ErrorOf([&] { FOpen(h, withNul, fmCreate); }), 2);
  EXPECT_EQ(ErrorOf([&] { TXTOpen(h, withNul, fmAppend); }), 7);
  EXPECT_EQ(ErrorOf([&] { FDelete(withNul); }), 6);
  EXPECT_EQ(ErrorOf([&] { FRename(withNul, dir + "/c"); }), 10);
  EXPECT_EQ(ErrorOf([&] { FRename(real, dir + "/c" + std::string(1, '\0')); }), 10);
  EXPECT_EQ(FSizeByName(withNul), 0);
  EXPECT_EQ(test::ReadFile(real), "12345");  // neither truncated nor deleted nor renamed
  EXPECT_EQ(FCount(), 0);
}

}  // namespace
}  // namespace tavelo
