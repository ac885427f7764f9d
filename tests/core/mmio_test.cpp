// The multimedia file stand-in: chunk creation with sizes and pad bytes written back, chunk
// search inside a parent, reads at the end, seeks, and failures answered without unwinding.
#include "core/mmio/mmio.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "tests/support/test_env.h"

namespace tavelo::platform {
namespace {

constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');
constexpr FOURCC kOdd = mmioFOURCC('o', 'd', 'd', ' ');
constexpr FOURCC kInfo = mmioFOURCC('I', 'N', 'F', 'O');

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return v;
}

std::string Chunk(const char* id, const std::string& data) {
  std::string c(id, 4);
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<char>((data.size() >> (8 * i)) & 0xFF));
  c += data;
  if (data.size() & 1) c.push_back('\0');
  return c;
}

// Writes a RIFF WAVE file through the stand-in: every chunk is created with size 0 and gets its
// size when it is left.
std::string WriteWave(const std::string& path) {
  const HMMIO h = mmioOpenA(path.c_str(), nullptr, MMIO_CREATE | MMIO_READWRITE);
  EXPECT_NE(h, 0);
  MMCKINFO riff{};
  riff.fccType = kWave;
  EXPECT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), 0u);
  auto put = [&](FOURCC id, const std::string& data) {
    MMCKINFO ck{};
    ck.ckid = id;
    EXPECT_EQ(mmioCreateChunk(h, &ck, 0), 0u);
    EXPECT_EQ(mmioWrite(h, data.data(), static_cast<int32_t>(data.size())), static_cast<int32_t>(data.size()));
    EXPECT_EQ(mmioAscend(h, &ck, 0), 0u);
    EXPECT_EQ(ck.cksize, data.size());
  };
  put(kFmt, std::string(16, '\x01'));
  put(kOdd, "abc");
  MMCKINFO list{};
  list.fccType = kInfo;
  EXPECT_EQ(mmioCreateChunk(h, &list, MMIO_CREATELIST), 0u);
  put(mmioFOURCC('I', 'N', 'A', 'M'), "name!");
  EXPECT_EQ(mmioAscend(h, &list, 0), 0u);
  put(kData, "12345");
  EXPECT_EQ(mmioAscend(h, &riff, 0), 0u);
  EXPECT_EQ(mmioFlush(h, 0), 0u);
  EXPECT_EQ(mmioClose(h, 0), 0u);
  return test::ReadFile(path);
}

TEST(Mmio, CreatedChunksGetTheirSizesAndPadBytes) {
  const std::string path = test::MakeTempDir("mmio") + "/a.wav";
  const std::string bytes = WriteWave(path);
  const std::string body = "WAVE" + Chunk("fmt ", std::string(16, '\x01')) + Chunk("odd ", "abc") +
                           Chunk("LIST", "INFO" + Chunk("INAM", "name!")) + Chunk("data", "12345");
  EXPECT_EQ(bytes, Chunk("RIFF", body));
  EXPECT_EQ(Le32(bytes, 4), body.size());
}

TEST(Mmio, FindsChunksInsideTheirParentAndStepsOverPadBytes) {
  const std::string path = test::MakeTempDir("mmio") + "/a.wav";
  const std::string bytes = WriteWave(path);
  const HMMIO h = mmioOpenA(path.c_str(), nullptr, MMIO_READ);
  ASSERT_NE(h, 0);
  MMCKINFO riff{};
  riff.fccType = kWave;
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);
  EXPECT_EQ(riff.ckid, FOURCC_RIFF);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 12);  // behind the form type

  // Walking without a search flag meets every chunk in turn.
  std::string ids;
  MMCKINFO ck{};
  while (mmioDescend(h, &ck, &riff, 0) == 0) {
    ids += std::string(reinterpret_cast<const char*>(&ck.ckid), 4) + ";";
    ASSERT_EQ(mmioAscend(h, &ck, 0), 0u);
  }
  EXPECT_EQ(ids, "fmt ;odd ;LIST;data;");

  // A search steps over the odd-sized chunk (and its pad byte) and the list.
  ASSERT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
  MMCKINFO data{};
  data.ckid = kData;
  ASSERT_EQ(mmioDescend(h, &data, &riff, MMIO_FINDCHUNK), 0u);
  EXPECT_EQ(data.cksize, 5u);
  EXPECT_EQ(data.dwDataOffset, bytes.find("12345"));
  char buf[8] = {};
  EXPECT_EQ(mmioRead(h, buf, 8), 6);  // the data, its pad byte, then the end of the file
  EXPECT_EQ(std::string(buf, 5), "12345");
  EXPECT_EQ(mmioRead(h, buf, 8), 0);

  // A list is found by its form type.
  ASSERT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
  MMCKINFO list{};
  list.fccType = kInfo;
  ASSERT_EQ(mmioDescend(h, &list, &riff, MMIO_FINDLIST), 0u);
  MMCKINFO name{};
  ASSERT_EQ(mmioDescend(h, &name, &list, 0), 0u);
  EXPECT_EQ(name.cksize, 5u);
  ASSERT_EQ(mmioAscend(h, &name, 0), 0u);
  EXPECT_EQ(mmioDescend(h, &name, &list, 0), MMIOERR_CHUNKNOTFOUND);  // the list holds no more
  ASSERT_EQ(mmioAscend(h, &list, 0), 0u);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), static_cast<int32_t>(data.dwDataOffset) - 8);

  // Nothing of that id: the search ends at the parent's end.
  ASSERT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
  MMCKINFO missing{};
  missing.ckid = mmioFOURCC('f', 'a', 'c', 't');
  EXPECT_EQ(mmioDescend(h, &missing, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(mmioClose(h, 0), 0u);
}

TEST(Mmio, ParentSizeAndTruncationBoundTheSearch) {
  const std::string dir = test::MakeTempDir("mmio");
  // The RIFF chunk claims only its fmt chunk; a data chunk behind it lies outside.
  const std::string inner = "WAVE" + Chunk("fmt ", std::string(16, '\0'));
  test::WriteFile(dir + "/short.wav", Chunk("RIFF", inner) + Chunk("data", "xy"));
  HMMIO h = mmioOpenA((dir + "/short.wav").c_str(), nullptr, MMIO_READ);
  ASSERT_NE(h, 0);
  MMCKINFO riff{};
  riff.fccType = kWave;
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);
  MMCKINFO data{};
  data.ckid = kData;
  EXPECT_EQ(mmioDescend(h, &data, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  // Without the parent the search goes on to the end of the file.
  ASSERT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
  EXPECT_EQ(mmioDescend(h, &data, nullptr, MMIO_FINDCHUNK), 0u);
  mmioClose(h, 0);

  // Headers cut short, and a chunk whose size runs past the end of the file.
  for (const std::string& cut : {std::string("RIF"), std::string("RIFF\x10\0\0\0WA", 10),
                                 Chunk("RIFF", "WAVE") + std::string("fmt \xff\xff\xff\x7f", 8) + "data"}) {
    test::WriteFile(dir + "/cut.wav", cut);
    h = mmioOpenA((dir + "/cut.wav").c_str(), nullptr, MMIO_READ);
    ASSERT_NE(h, 0);
    MMCKINFO ck{};
    ck.ckid = kData;
    EXPECT_EQ(mmioDescend(h, &ck, nullptr, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND) << cut.size();
    mmioClose(h, 0);
  }
}

TEST(Mmio, SeeksReadsAndBadHandles) {
  const std::string path = test::MakeTempDir("mmio") + "/plain.bin";
  test::WriteFile(path, "0123456789");
  const HMMIO h = mmioOpenA(path.c_str(), nullptr, MMIO_READ);
  ASSERT_NE(h, 0);
  EXPECT_EQ(mmioSeek(h, -3, SEEK_END), 7);
  char buf[4] = {};
  EXPECT_EQ(mmioRead(h, buf, 4), 3);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_EQ(mmioSeek(h, -4, SEEK_CUR), 6);
  EXPECT_EQ(mmioSeek(h, -7, SEEK_CUR), -1);
  EXPECT_EQ(mmioSeek(h, 0, 7), -1);
  EXPECT_EQ(mmioRead(h, buf, -1), -1);
  EXPECT_EQ(mmioWrite(h, "x", 1), -1);  // opened for reading
  EXPECT_EQ(mmioClose(h, 0), 0u);
  // The handle is gone for good.
  EXPECT_EQ(mmioRead(h, buf, 1), -1);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_SET), -1);
  EXPECT_EQ(mmioClose(h, 0), kMmioInvalidHandle);
  EXPECT_EQ(mmioFlush(h, 0), kMmioInvalidHandle);
  MMCKINFO ck{};
  EXPECT_EQ(mmioDescend(h, &ck, nullptr, 0), kMmioInvalidHandle);
}

TEST(Mmio, FailuresAnswerWithoutUnwindingAndFilesAreTracked) {
  const std::string dir = test::MakeTempDir("mmio");
  bool reached = false;
  Monitored([&] {
    EXPECT_EQ(mmioOpenA((dir + "/missing.wav").c_str(), nullptr, MMIO_READ), 0);
    const HMMIO h = mmioOpenA((dir + "/w.bin").c_str(), nullptr, MMIO_CREATE | MMIO_WRITE);
    ASSERT_NE(h, 0);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_SET), 0);
    char c = 0;
    EXPECT_EQ(mmioRead(h, &c, 1), 0);  // written-only and empty: nothing to read
    reached = true;
    EXPECT_EQ(mmioClose(h, 0), 0u);
  });
  EXPECT_TRUE(reached);
  EXPECT_TRUE(NoError());

  // A file opened inside a frame that fails is closed by the frame.
  const int32_t before = FCount();
  BeginMonitorNoRaise();
  try {
    const HMMIO h = mmioOpenA((dir + "/w.bin").c_str(), nullptr, MMIO_READ);
    EXPECT_NE(h, 0);
    EXPECT_EQ(FCount(), before + 1);
    SetError(ecWav, 3, 1);
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  EXPECT_EQ(FCount(), before);
  ClearError();
}

}  // namespace
}  // namespace tavelo::platform
