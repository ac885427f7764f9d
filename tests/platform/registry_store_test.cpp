#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/special_files.h"
#include "tests/support/test_env.h"

namespace tavelo::platform {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

struct Reports {
  static inline std::vector<std::string> texts;
  static void Sink(const std::string& text) { texts.push_back(text); }
};

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::MakeTempDir("store");
    SetRegistryFolder(folder_);
    Reports::texts.clear();
    SetRegistryReportSink(&Reports::Sink);
  }
  void TearDown() override {
    SetRegistryReportSink(nullptr);
    SetRegistryFolder("");
  }
  // Forgets every cached tree, as a fresh process would.
  void Reopen() { SetRegistryFolder(folder_); }
  Names FilesInFolder() {
    Names names;
    for (const auto& e : fs::directory_iterator(folder_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string folder_;
};

RegData Str(const std::string& s) { return RegData{rtString, s}; }
RegData Dword(uint32_t v) {
  std::string b(4, '\0');
  for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return RegData{rtDword, b};
}

std::string Query(RegRoot root, const std::string& key, const std::string& name) {
  RegData d;
  if (RegStoreQueryValue(root, key, name, d) != kRegOk) return "<missing>";
  return d.bytes;
}

TEST_F(RegistryStoreTest, EverythingSurvivesAReopen) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  const std::string oddName = "quote\" back\\slash\ttab\nline \xC3\xA9";
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", true), kRegOk);
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "Software\\Empty Key", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", "Text", Str(allBytes.substr(1))), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", oddName, Dword(0xDEADBEEF)), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", "", RegData{rtBinary, allBytes}), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", "Nothing", RegData{rtBinary, ""}), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "", "AtTheRoot", Str("r")), kRegOk);
  Reopen();

  RegData d;
  ASSERT_EQ(RegStoreQueryValue(kRegCurrentUser, "software\\VELKARN\\tavelo\\3.1.0", "TEXT", d), kRegOk);
  EXPECT_EQ(d.type, rtString);
  EXPECT_EQ(d.bytes, allBytes.substr(1));
  ASSERT_EQ(RegStoreQueryValue(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", oddName, d), kRegOk);
  EXPECT_EQ(d.type, rtDword);
  EXPECT_EQ(d.bytes, Dword(0xDEADBEEF).bytes);
  ASSERT_EQ(RegStoreQueryValue(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", "", d), kRegOk);
  EXPECT_EQ(d.type, rtBinary);
  EXPECT_EQ(d.bytes, allBytes);
  EXPECT_EQ(Query(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", "Nothing"), "");
  EXPECT_EQ(Query(kRegCurrentUser, "", "AtTheRoot"), "r");
  EXPECT_TRUE(RegStoreKeyExists(kRegCurrentUser, "\\Software\\Empty Key\\"));
  Names values;
  ASSERT_EQ(RegStoreValueNames(kRegCurrentUser, "Software\\Velkarn\\Tavelo\\3.1.0", values), kRegOk);
  EXPECT_EQ(values, (Names{"Text", oddName, "", "Nothing"}));
  EXPECT_EQ(FilesInFolder(), (Names{"user.reg", "user.reg.lock"}));
}

TEST_F(RegistryStoreTest, KeysAndValuesFollowTheSystemsRules) {
  EXPECT_EQ(RegStoreOpenKey(kRegCurrentUser, "A\\B", false), kRegNotFound);
  EXPECT_EQ(RegStoreSetValue(kRegCurrentUser, "A\\B", "v", Str("x")), kRegNotFound);  // the key must exist
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "A\\B\\C", true), kRegOk);
  EXPECT_EQ(RegStoreDeleteKey(kRegCurrentUser, "A\\B"), kRegAccessDenied);  // it has a subkey
  EXPECT_EQ(RegStoreDeleteKey(kRegCurrentUser, ""), kRegBadKey);
  EXPECT_EQ(RegStoreDeleteKey(kRegCurrentUser, "A\\B\\C"), kRegOk);
  EXPECT_EQ(RegStoreDeleteKey(kRegCurrentUser, "A\\B\\C"), kRegNotFound);
  std::string name;
  EXPECT_EQ(RegStoreEnumKey(kRegCurrentUser, "A", 0, name), kRegOk);
  EXPECT_EQ(name, "B");
  EXPECT_EQ(RegStoreEnumKey(kRegCurrentUser, "A", 1, name), kRegNoMoreItems);
  EXPECT_EQ(RegStoreDeleteValue(kRegCurrentUser, "A", "none"), kRegNotFound);
  EXPECT_EQ(RegStoreSetValue(kRegCurrentUser, "A", "v", RegData{7, "x"}), kRegInvalidParam);
  EXPECT_EQ(RegStoreSetValue(kRegCurrentUser, "A", "v", RegData{rtDword, "12345"}), kRegInvalidParam);
  EXPECT_EQ(RegStoreOpenKey(kRegCurrentUser, std::string(256, 'k'), true), kRegInvalidParam);
  std::string deep;
  for (int i = 0; i < 600; ++i) deep += "d\\";
  EXPECT_EQ(RegStoreOpenKey(kRegCurrentUser, deep, true), kRegInvalidParam);
  EXPECT_EQ(RegStoreOpenKey(0x80000005u, "A", true), kRegInvalidParam);
  // The machine root is read-only.
  EXPECT_EQ(RegStoreOpenKey(kRegLocalMachine, "Software\\X", true), kRegAccessDenied);
  EXPECT_EQ(RegStoreOpenKey(kRegLocalMachine, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor", false), kRegOk);
  EXPECT_EQ(RegStoreSetValue(kRegLocalMachine, "HARDWARE", "x", Str("y")), kRegAccessDenied);
  EXPECT_EQ(RegStoreDeleteKey(kRegLocalMachine, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0"), kRegAccessDenied);
  // Reading never creates the folder or a file.
  SetRegistryFolder(folder_ + "/not/yet");
  EXPECT_EQ(RegStoreOpenKey(kRegCurrentUser, "A", false), kRegNotFound);
  EXPECT_FALSE(fs::exists(folder_ + "/not"));
}

TEST_F(RegistryStoreTest, AnotherWritersChangesAreSeen) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "K", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "a", Str("1")), kRegOk);
  EXPECT_EQ(Query(kRegCurrentUser, "K", "a"), "1");
  // Another instance (here: a child process) writes; this one reads the new file.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int rc = RegStoreSetValue(kRegCurrentUser, "K", "b", Str("2"));
    ::_exit(rc == kRegOk ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Query(kRegCurrentUser, "K", "b"), "2");
  // And a change here keeps the other's value.
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "c", Str("3")), kRegOk);
  Reopen();
  EXPECT_EQ(Query(kRegCurrentUser, "K", "a"), "1");
  EXPECT_EQ(Query(kRegCurrentUser, "K", "b"), "2");
  EXPECT_EQ(Query(kRegCurrentUser, "K", "c"), "3");
}

// Damages the store file in one way and checks that it is kept aside and reported.
void ExpectDamageKeptAside(RegistryStoreTest& t, const std::string& folder, const std::string& bytes) {
  const std::string file = folder + "/user.reg";
  test::WriteFile(file, bytes);
  Reports::texts.clear();
  EXPECT_EQ(RegStoreOpenKey(kRegCurrentUser, "K", false), kRegNotFound);  // opens empty
  ASSERT_EQ(Reports::texts.size(), 1u);
  EXPECT_NE(Reports::texts[0].find("damaged"), std::string::npos) << Reports::texts[0];
  std::string aside;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("user.reg.damaged-", 0) == 0) aside = e.path().string();
  ASSERT_FALSE(aside.empty());
  EXPECT_EQ(test::ReadFile(aside), bytes);  // nothing of it is lost
  EXPECT_NE(Reports::texts[0].find(aside), std::string::npos);
  EXPECT_FALSE(fs::exists(file));
  // Writing starts a sound new store.
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "New", true), kRegOk);
  EXPECT_TRUE(fs::exists(file));
  fs::remove(aside);
  fs::remove(file);
}

TEST_F(RegistryStoreTest, DamagedFilesAreKeptAsideAndReported) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "K", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "v", Str("good")), kRegOk);
  const std::string good = test::ReadFile(folder_ + "/user.reg");
  ExpectDamageKeptAside(*this, folder_, good.substr(0, good.size() / 2));        // cut short
  ExpectDamageKeptAside(*this, folder_, good.substr(0, good.size() - 1) + "x");  // no end mark
  std::string flipped = good;
  flipped[good.find("good")] = 'G';                                             // checksum
  ExpectDamageKeptAside(*this, folder_, flipped);
  ExpectDamageKeptAside(*this, folder_, std::string("\0\0\0garbage", 10));
  ExpectDamageKeptAside(*this, folder_, "");
}

TEST_F(RegistryStoreTest, ADamagedFileIsNeverOverwrittenByAWrite) {
  test::WriteFile(folder_ + "/user.reg", "not a store");
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "K", true), kRegOk);  // the first thing is a write
  ASSERT_EQ(Reports::texts.size(), 1u);
  bool kept = false;
  for (const auto& e : fs::directory_iterator(folder_))
    if (e.path().filename().string().rfind("user.reg.damaged-", 0) == 0)
      kept = test::ReadFile(e.path().string()) == "not a store";
  EXPECT_TRUE(kept);
}

// The store's checksum (CRC-32, the zlib polynomial), so that a test can forge a file whose
// damage lies beyond it.
std::string WithEndMark(const std::string& body) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : body) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  char end[32];
  std::snprintf(end, sizeof end, "END %08x\n", crc ^ 0xFFFFFFFFu);
  return body + end;
}

TEST_F(RegistryStoreTest, HostileStoreFilesNeverCrashTheReader) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "A\\B", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "A\\B", "s", Str("text \"q\" \\ \x01")), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "A", "d", Dword(7)), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "A", "b", RegData{rtBinary, "\x00\xff"}), kRegOk);
  const std::string good = test::ReadFile(folder_ + "/user.reg");
  const std::string body = good.substr(0, good.rfind("END "));
  ASSERT_EQ(WithEndMark(body), good);
  uint32_t seed = 2024;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  int kept = 0;
  for (int i = 0; i < 1500; ++i) {
    const bool forge = i % 2 == 1;  // half with a checksum that fits: the parser itself must cope
    std::string bad = forge ? body : good;
    const int edits = 1 + static_cast<int>(next() % 4);
    for (int k = 0; k < edits && !bad.empty(); ++k) {
      const size_t at = next() % bad.size();
      switch (next() % 3) {
        case 0: bad[at] = static_cast<char>(next()); break;
        case 1: bad.erase(at, 1 + next() % 8); break;
        default: bad.insert(at, 1, "\"\\ \nKVx"[next() % 8]); break;
      }
    }
    test::WriteFile(folder_ + "/user.reg", forge ? WithEndMark(bad) : bad);
    Reopen();
    Names names;
    RegStoreKeyNames(kRegCurrentUser, "A", names);  // must neither crash nor hang
    if (fs::exists(folder_ + "/user.reg")) ++kept;   // a file that still reads is left alone
    for (const auto& e : fs::directory_iterator(folder_))
      if (e.path().filename().string().rfind("user.reg.damaged-", 0) == 0) fs::remove(e.path());
  }
  EXPECT_LT(kept, 1500);
}

// ---- Unusual files where the store or its lock should be.

// A FIFO in the store's place: reads and writes end at once; the FIFO is reported and moved aside
// like any file that is not a store, and the next write makes a sound store.
TEST_F(RegistryStoreTest, AFifoInTheStoresPlaceNeverBlocks) {
  const std::string file = folder_ + "/user.reg";
  ASSERT_TRUE(test::MakeFifo(file));
  int32_t read = -1, write = -1;
  EXPECT_TRUE(test::EndsWithoutBlocking(file, [&] { read = RegStoreOpenKey(kRegCurrentUser, "K", false); }));
  EXPECT_EQ(read, kRegNotFound);
  ASSERT_FALSE(Reports::texts.empty());
  EXPECT_NE(Reports::texts[0].find("not a regular file"), std::string::npos) << Reports::texts[0];
  EXPECT_TRUE(test::MakeFifo(file) || fs::exists(file));  // a second FIFO for the write
  EXPECT_TRUE(test::EndsWithoutBlocking(file, [&] { write = RegStoreOpenKey(kRegCurrentUser, "K", true); }));
  EXPECT_EQ(write, kRegOk);
  Reopen();
  EXPECT_TRUE(RegStoreKeyExists(kRegCurrentUser, "K"));
}

// Failures to reach the store or its lock are reported, never silent; a read reports once.
TEST_F(RegistryStoreTest, AStoreOrLockThatCannotBeOpenedIsReported) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "K", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "v", Str("before")), kRegOk);
  const std::string file = folder_ + "/user.reg", lock = file + ".lock";
  const std::string saved = test::ReadFile(file);

  // A folder where the lock file goes: every write fails, with a report naming the lock.
  fs::remove(lock);
  fs::create_directory(lock);
  Reports::texts.clear();
  EXPECT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "v", Str("after")), kRegIoFailed);
  ASSERT_EQ(Reports::texts.size(), 1u);
  EXPECT_NE(Reports::texts[0].find(lock), std::string::npos) << Reports::texts[0];
  EXPECT_EQ(Query(kRegCurrentUser, "K", "v"), "before");  // reads still work without the lock
  // A FIFO there is refused the same way, without blocking.
  fs::remove(lock);
  ASSERT_TRUE(test::MakeFifo(lock));
  Reports::texts.clear();
  int32_t rc = kRegOk;
  EXPECT_TRUE(test::EndsWithoutBlocking(lock, [&] { rc = RegStoreSetValue(kRegCurrentUser, "K", "v", Str("after")); }));
  EXPECT_EQ(rc, kRegIoFailed);
  EXPECT_EQ(Reports::texts.size(), 1u);
  fs::remove(lock);

  // A symbolic link loop on the store: writes and reads fail with a report, and the link is
  // left as it is.
  fs::remove(file);
  fs::create_symlink(file, file);
  Reopen();
  Reports::texts.clear();
  EXPECT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "v", Str("after")), kRegIoFailed);
  ASSERT_EQ(Reports::texts.size(), 1u);
  EXPECT_NE(Reports::texts[0].find(file), std::string::npos) << Reports::texts[0];
  Reports::texts.clear();
  EXPECT_EQ(Query(kRegCurrentUser, "K", "v"), "<missing>");
  EXPECT_EQ(Query(kRegCurrentUser, "K", "v"), "<missing>");
  EXPECT_EQ(Reports::texts.size(), 1u);  // reported once, not at every read
  EXPECT_TRUE(fs::is_symlink(file));
  fs::remove(file);
  test::WriteFile(file, saved);
  Reopen();
  EXPECT_EQ(Query(kRegCurrentUser, "K", "v"), "before");
}

// Keys at the deepest nesting allowed, with the longest names: the file grows with the number of
// keys, not with the square of their depth, and every earlier value survives.
TEST_F(RegistryStoreTest, DeepKeysKeepTheStoreReadable) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "Early", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Early", "v", Str("kept")), kRegOk);
  std::string chainA, b;
  for (int i = 0; i < 512; ++i) {
    chainA += std::string(255, static_cast<char>('a' + i % 26)) + "\\";
    b += std::string(254, static_cast<char>('A' + i % 26)) + std::to_string(i % 10) + "\\";
  }
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, chainA, true), kRegOk);
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, b, true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, b, "deepest", Str("here")), kRegOk);
  Reopen();
  Reports::texts.clear();
  EXPECT_EQ(Query(kRegCurrentUser, "Early", "v"), "kept");
  EXPECT_TRUE(RegStoreKeyExists(kRegCurrentUser, chainA));
  EXPECT_EQ(Query(kRegCurrentUser, b, "deepest"), "here");
  EXPECT_TRUE(Reports::texts.empty()) << Reports::texts[0];
  EXPECT_LT(fs::file_size(folder_ + "/user.reg"), 1u << 20);
}

// A change that would make a file larger than a reader accepts is refused with a report; the
// store keeps every earlier value.
TEST_F(RegistryStoreTest, AChangeTheReaderWouldRefuseIsNotWritten) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "K", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "v", Str("kept")), kRegOk);
  const std::string before = test::ReadFile(folder_ + "/user.reg");
  Reports::texts.clear();
  // Binary values are written as hex: 33 MB of bytes would be a 66 MB file.
  EXPECT_EQ(RegStoreSetValue(kRegCurrentUser, "K", "huge", RegData{rtBinary, std::string(33u << 20, '\x5a')}),
            kRegIoFailed);
  ASSERT_EQ(Reports::texts.size(), 1u);
  EXPECT_NE(Reports::texts[0].find("refused"), std::string::npos) << Reports::texts[0];
  EXPECT_EQ(test::ReadFile(folder_ + "/user.reg"), before);
  EXPECT_EQ(Query(kRegCurrentUser, "K", "huge"), "<missing>");  // the cache forgot the refused change
  Reopen();
  EXPECT_EQ(Query(kRegCurrentUser, "K", "v"), "kept");
  EXPECT_EQ(Query(kRegCurrentUser, "K", "huge"), "<missing>");
}

// Many values in one key keep their order and values through a reopen (the reading is timed by
// bench/registry_bench.cpp).
TEST_F(RegistryStoreTest, ManyValuesInOneKeyReadBackInOrder) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "Many", true), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Many", "first", Str("1")), kRegOk);
  // Forge a large store in the file's own form from the one just written.
  std::string body = test::ReadFile(folder_ + "/user.reg");
  body = body.substr(0, body.rfind("END "));
  for (int i = 0; i < 5000; ++i) body += "V \"Value" + std::to_string(i) + "\" sz \"" + std::to_string(i * 7) + "\"\n";
  test::WriteFile(folder_ + "/user.reg", WithEndMark(body));
  Reopen();
  Names names;
  ASSERT_EQ(RegStoreValueNames(kRegCurrentUser, "Many", names), kRegOk);
  ASSERT_EQ(names.size(), 5001u);
  EXPECT_EQ(names[0], "first");
  for (int i = 0; i < 5000; i += 499) EXPECT_EQ(Query(kRegCurrentUser, "Many", "VALUE" + std::to_string(i)), std::to_string(i * 7));
  ASSERT_EQ(RegStoreDeleteValue(kRegCurrentUser, "Many", "Value10"), kRegOk);
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Many", "Value11", Str("changed")), kRegOk);
  Reopen();
  EXPECT_EQ(Query(kRegCurrentUser, "Many", "Value10"), "<missing>");
  EXPECT_EQ(Query(kRegCurrentUser, "Many", "Value11"), "changed");
  EXPECT_EQ(Query(kRegCurrentUser, "Many", "Value4999"), std::to_string(4999 * 7));
  ASSERT_EQ(RegStoreValueNames(kRegCurrentUser, "Many", names), kRegOk);
  EXPECT_EQ(names[11], "Value11");  // a changed value keeps its place
}

// Files written in the first form, every key line naming its full path, still read.
TEST_F(RegistryStoreTest, TheFirstFileFormStillReads) {
  test::WriteFile(folder_ + "/user.reg",
                  WithEndMark("TAVELO-REGISTRY 1\nK\nV \"root\" dword 0000002a\nK \"A\"\nK \"A\" \"B\"\n"
                              "V \"s\" sz \"x\"\nK \"C\"\n"));
  RegData d;
  ASSERT_EQ(RegStoreQueryValue(kRegCurrentUser, "", "root", d), kRegOk);
  EXPECT_EQ(d.bytes, Dword(42).bytes);
  EXPECT_EQ(Query(kRegCurrentUser, "a\\b", "S"), "x");
  EXPECT_TRUE(RegStoreKeyExists(kRegCurrentUser, "C"));
  EXPECT_TRUE(Reports::texts.empty());
  // A change rewrites it in the current form, keeping everything.
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "C", "n", Str("new")), kRegOk);
  Reopen();
  EXPECT_EQ(Query(kRegCurrentUser, "A\\B", "s"), "x");
  EXPECT_EQ(Query(kRegCurrentUser, "C", "n"), "new");
}

// ---- Crashes and concurrent instances.

std::string Payload(int i) { return std::string(1000 + i % 500, static_cast<char>('a' + i % 26)) + std::to_string(i); }

// A writer that adds values "v0", "v1", ... one change at a time, forever, and reports each
// finished change with one byte on a pipe.
[[noreturn]] void RunWriter(int first, int progress) {
  for (int i = first;; ++i) {
    if (RegStoreSetValue(kRegCurrentUser, "Crash", "v" + std::to_string(i), Str(Payload(i))) != kRegOk) ::_exit(3);
    if (::write(progress, "+", 1) != 1) ::_exit(4);
  }
}

// The store holds exactly v0 .. v(n-1), each intact; returns n, or -1 when it does not.
int ConsistentPrefix() {
  Names values;
  if (RegStoreValueNames(kRegCurrentUser, "Crash", values) != kRegOk) return -1;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] != "v" + std::to_string(i)) return -1;
    if (Query(kRegCurrentUser, "Crash", values[i]) != Payload(static_cast<int>(i))) return -1;
  }
  return static_cast<int>(values.size());
}

bool TempFileIn(const std::string& folder) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec))
    if (e.path().filename().string().find(".tmp-") != std::string::npos) return true;
  return false;
}

TEST_F(RegistryStoreTest, AWriterKilledMidWayLeavesTheOldOrTheNewContent) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "Crash", true), kRegOk);
  int count = 0, midWay = 0;
  for (int round = 0; round < 16; ++round) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(pipeFds[0]);
      RunWriter(count, pipeFds[1]);
    }
    ::close(pipeFds[1]);
    // Let it finish some changes, then kill it hard at a different moment of the next one.
    // The kill moment moves through the whole of one change from round to round, measured by
    // how long the last change took.
    const int done = 10 + round;
    auto last = std::chrono::steady_clock::now();
    auto cycle = std::chrono::steady_clock::duration::zero();
    for (int seen = 0; seen < done; ++seen) {
      char byte;
      ASSERT_EQ(::read(pipeFds[0], &byte, 1), 1) << "the writer stopped by itself";
      const auto now = std::chrono::steady_clock::now();
      cycle = now - last;
      last = now;
    }
    if (round % 2 == 0) {
      std::this_thread::sleep_for(cycle * (round % 8) / 8);
    } else {
      // Or the moment its new file appears beside the old one.
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!TempFileIn(folder_) && std::chrono::steady_clock::now() < limit) {
      }
    }
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    // The changes it finished after we stopped listening.
    int finished = done;
    char byte;
    while (::read(pipeFds[0], &byte, 1) == 1) ++finished;
    ::close(pipeFds[0]);

    if (TempFileIn(folder_)) ++midWay;  // it died with its new file half made
    Reopen();
    const int now = ConsistentPrefix();
    // Every finished change is there, and at most the one under way besides.
    ASSERT_GE(now, count + finished) << "round " << round;
    ASSERT_LE(now, count + finished + 1) << "round " << round;
    count = now;
    EXPECT_TRUE(Reports::texts.empty()) << Reports::texts.front();
  }
  EXPECT_GT(midWay, 0) << "no writer was caught in the middle of a change";
  // The store stays writable (the lock died with the writer) and leftovers are swept.
  ASSERT_EQ(RegStoreSetValue(kRegCurrentUser, "Crash", "v" + std::to_string(count), Str(Payload(count))), kRegOk);
  EXPECT_EQ(ConsistentPrefix(), count + 1);
  EXPECT_EQ(FilesInFolder(), (Names{"user.reg", "user.reg.lock"}));
}

TEST_F(RegistryStoreTest, TwoInstancesWritingAtOnceLoseNothing) {
  ASSERT_EQ(RegStoreOpenKey(kRegCurrentUser, "Shared", true), kRegOk);
  constexpr int kEach = 150;
  std::vector<pid_t> pids;
  for (const char* who : {"A", "B"}) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i) {
        const std::string name = std::string(who) + std::to_string(i);
        if (RegStoreSetValue(kRegCurrentUser, "Shared", name, Str(name + "-value")) != kRegOk) ::_exit(1);
        if (RegStoreSetValue(kRegCurrentUser, "Shared", std::string("Last") + who, Dword(i)) != kRegOk) ::_exit(1);
      }
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  Reopen();
  Names values;
  ASSERT_EQ(RegStoreValueNames(kRegCurrentUser, "Shared", values), kRegOk);
  EXPECT_EQ(values.size(), 2u * kEach + 2);
  for (const char* who : {"A", "B"}) {
    for (int i = 0; i < kEach; ++i) {
      const std::string name = std::string(who) + std::to_string(i);
      EXPECT_EQ(Query(kRegCurrentUser, "Shared", name), name + "-value");
    }
    EXPECT_EQ(Query(kRegCurrentUser, "Shared", std::string("Last") + who), Dword(kEach - 1).bytes);
  }
}

// Two instances closing at once: each saves its whole list (every value deleted, then each item
// written) in one transaction, again and again. Whenever it is read, the list is one instance's.
TEST_F(RegistryStoreTest, TransactionsOfTwoInstancesNeverMixTheirLists) {
  constexpr int kItems = 12, kSaves = 20;
  std::vector<pid_t> pids;
  for (const char* who : {"A", "B"}) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int s = 0; s < kSaves; ++s) {
        RegStoreTransaction save(kRegCurrentUser);
        if (RegStoreOpenKey(kRegCurrentUser, "List", true) != kRegOk) ::_exit(1);
        Names old;
        RegStoreValueNames(kRegCurrentUser, "List", old);
        for (const std::string& name : old) RegStoreDeleteValue(kRegCurrentUser, "List", name);
        for (int i = 0; i < kItems; ++i)
          RegStoreSetValue(kRegCurrentUser, "List", "Item" + std::to_string(i), Str(std::string(who) + std::to_string(i)));
        if (save.End() != kRegOk) ::_exit(1);
      }
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  const auto whole = [] {
    const RegStoreTransaction snapshot(kRegCurrentUser);  // one version of the file for every read
    Names names;
    if (RegStoreValueNames(kRegCurrentUser, "List", names) == kRegNotFound) return true;
    if (names.size() != kItems) return false;
    const char owner = Query(kRegCurrentUser, "List", "Item0")[0];
    for (int i = 0; i < kItems; ++i)
      if (Query(kRegCurrentUser, "List", "Item" + std::to_string(i)) != owner + std::to_string(i)) return false;
    return true;
  };
  int mixed = 0;
  for (pid_t pid : pids) {
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      Reopen();
      if (!whole()) ++mixed;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  Reopen();
  EXPECT_TRUE(whole());
  EXPECT_EQ(mixed, 0);
}

// ---- The machine root.

TEST(MachineRoot, ProcessorNamesFromTheSystem) {
  const std::string file = test::MakeTempDir("cpuinfo") + "/cpuinfo";
  test::WriteFile(file,
                  "processor\t: 0\nmodel name\t: First\ncpu MHz\t\t: 3000.000\n\n"
                  "processor\t: 1\nProcessor\t: ARMv7 rev 4\n\n"
                  "processor\t: 2\n\n");
  SetCpuInfoFile(file);
  const std::string key = "Hardware\\Description\\System\\CentralProcessor";
  std::vector<std::string> names;
  ASSERT_EQ(RegStoreKeyNames(kRegLocalMachine, key, names), kRegOk);
  EXPECT_EQ(names, (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_EQ(Query(kRegLocalMachine, key + "\\0", "ProcessorNameString"), "First");
  EXPECT_EQ(Query(kRegLocalMachine, key + "\\1", "processornamestring"), "ARMv7 rev 4");
  EXPECT_EQ(Query(kRegLocalMachine, key + "\\2", "ProcessorNameString"), "<missing>");
  SetCpuInfoFile("");
  names.clear();
  ASSERT_EQ(RegStoreKeyNames(kRegLocalMachine, key, names), kRegOk);
  EXPECT_FALSE(names.empty());  // every machine has processor 0
}

}  // namespace
}  // namespace tavelo::platform
