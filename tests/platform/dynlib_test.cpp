#include <gtest/gtest.h>

#include <filesystem>

#include "platform/dynlib/dynlib.h"
#include "platform/sysinfo/sysinfo.h"
#include "tests/support/test_env.h"

namespace tavelo::platform {
namespace {

class DynLib : public ::testing::Test {
 protected:
  void TearDown() override { SetLibraryFolder(""); }
};

TEST_F(DynLib, DllNamesOpenSharedObjectsFromTheCodecsFolderBesideTheProgram) {
  const std::string exe = ProgramFileName();
  const std::string expected = exe.substr(0, exe.rfind('/') + 1) + "codecs/";
  EXPECT_EQ(LibraryFolder(), expected);
  EXPECT_EQ(LibraryPath("jpegcodec.dll"), expected + "jpegcodec.so");
  EXPECT_EQ(LibraryPath("JPEGCODEC.DLL"), expected + "JPEGCODEC.so");  // file names stay case-sensitive
  EXPECT_EQ(LibraryPath("plain"), expected + "plain.so");
  EXPECT_EQ(LibraryPath("/abs/x.so"), "/abs/x.so");
}

TEST_F(DynLib, LoadsResolvesAndFrees) {
  const std::string dir = test::MakeTempDir("codecs");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/mycodec.so");
  SetLibraryFolder(dir);  // no trailing '/': one is added
  EXPECT_EQ(LibraryFolder(), dir + "/");

  HMODULE h = LoadLibrary("mycodec.dll");
  ASSERT_NE(h, nullptr) << LastLibraryError();
  EXPECT_TRUE(LastLibraryError().empty());
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(h, "test_codec_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetProcAddress(h, "no_such_export"), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "test_codec_answer"), nullptr);
  EXPECT_TRUE(FreeLibrary(h));
  EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST_F(DynLib, MissingOrBrokenFilesGiveNoHandle) {
  const std::string dir = test::MakeTempDir("codecs");
  test::WriteFile(dir + "/broken.so", "this is not an ELF file");
  SetLibraryFolder(dir);
  EXPECT_EQ(LoadLibrary("absent.dll"), nullptr);
  EXPECT_FALSE(LastLibraryError().empty());
  EXPECT_EQ(LoadLibrary("broken.dll"), nullptr);
  EXPECT_EQ(LoadLibrary(""), nullptr);
  EXPECT_EQ(LoadLibrary(nullptr), nullptr);
}

TEST_F(DynLib, ExportsAreToldFromTheFileWithoutLoadingIt) {
  const std::string dir = test::MakeTempDir("codecs");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/mycodec.so");
  test::WriteFile(dir + "/broken.so", std::string("\x7F" "ELF", 4) + std::string(100, '\x01'));
  SetLibraryFolder(dir);
  const char* const jpeg[] = {"jpg_read_file", "jpg_info_file", "jpg_write_file"};
  const char* const xpm[] = {"ReadXpm", "WriteXpm"};
  const char* const unknown[] = {"no_such_export"};
  EXPECT_EQ(CheckLibraryExports("mycodec.dll", jpeg, 3), LibraryCheck::kComplete);
  EXPECT_EQ(CheckLibraryExports("mycodec.dll", xpm, 2), LibraryCheck::kIncomplete);
  EXPECT_EQ(CheckLibraryExports("mycodec.dll", xpm, 1), LibraryCheck::kComplete);
  EXPECT_EQ(CheckLibraryExports("mycodec.dll", unknown, 1), LibraryCheck::kIncomplete);
  EXPECT_EQ(CheckLibraryExports("absent.dll", jpeg, 3), LibraryCheck::kMissing);
  EXPECT_EQ(CheckLibraryExports("broken.dll", jpeg, 3), LibraryCheck::kUnknown);
  // The answers agree with a load.
  HMODULE h = LoadLibrary("mycodec.dll");
  ASSERT_NE(h, nullptr);
  for (const char* name : jpeg) EXPECT_NE(GetProcAddress(h, name), nullptr);
  EXPECT_EQ(GetProcAddress(h, "WriteXpm"), nullptr);
  EXPECT_EQ(GetProcAddress(h, "no_such_export"), nullptr);
  FreeLibrary(h);
}

}  // namespace
}  // namespace tavelo::platform
