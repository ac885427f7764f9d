#include "base/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_env.h"

namespace tavelo::posix {
namespace {

TEST(PosixFiles, PathPieces) {
  struct Case {
    const char* path;
    const char* folder;
    const char* name;
  } cases[] = {
      {"/a/b/c.txt", "/a/b", "c.txt"}, {"/c.txt", "/", "c.txt"},  {"c.txt", ".", "c.txt"},
      {"a/b", "a", "b"},               {"/a/b/", "/a", "b"},      {"/a//", "/", "a"},
      {"/", "/", ""},                 {"", ".", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderOf(c.path), c.folder) << c.path;
    EXPECT_EQ(NameOf(c.path), c.name) << c.path;
  }
}

TEST(PosixFiles, FoldersAndWholeFiles) {
  const std::string root = test::MakeTempDir("posix");
  const std::string deep = root + "/x//y/z";
  ASSERT_TRUE(MakeFolders(deep));
  EXPECT_TRUE(MakeFolders(deep + "/"));  // already there
  struct stat st {};
  ASSERT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  test::WriteFile(root + "/plain", "");
  EXPECT_FALSE(MakeFolders(root + "/plain/sub"));
  EXPECT_FALSE(MakeFolders(std::string("a\0b", 3)));

  // A file written to a temporary name, flushed and renamed over the old one reads back whole.
  const std::string target = deep + "/f", temp = target + ".tmp";
  test::WriteFile(target, "old");
  const std::string text(3 << 20, 'q');
  const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  ASSERT_TRUE(WriteSyncClose(out, text.data(), text.size()));
  EXPECT_TRUE(SyncFile(temp));
  ASSERT_TRUE(RenameSynced(temp, target));
  EXPECT_FALSE(RenameSynced(temp, target));  // nothing left to rename
  EXPECT_FALSE(SyncFile(temp));

  const int in = OpenRegularFile(target, O_RDONLY, 0);
  ASSERT_GE(in, 0);
  std::string back(text.size() + 10, '\0');
  size_t done = 0;
  EXPECT_TRUE(ReadAll(in, back.data(), back.size(), done));
  EXPECT_EQ(done, text.size());
  back.resize(done);
  EXPECT_EQ(back, text);
  ::close(in);
  EXPECT_FALSE(WriteAll(in, "x", 1));  // a closed descriptor
  EXPECT_FALSE(ReadAll(in, back.data(), 1, done));

  // Only regular files open; a name with a NUL never reaches the system.
  for (const std::string& bad : {deep, target + std::string("\0x", 2)}) {
    errno = 0;
    EXPECT_EQ(OpenRegularFile(bad, O_RDONLY, 0), -1) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
  }
}

}  // namespace
}  // namespace tavelo::posix
