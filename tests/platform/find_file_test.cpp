// The wildcard match of the directory search on names that are not UTF-8 (found by the seq_name
// fuzz target: a byte 0x80..0xBF after a digit was taken as part of the digit's character, so a
// '*' swallowed it and the suffix after the number never matched its own file).
#include <gtest/gtest.h>

#include <string>

#include "platform/shell/find_file.h"
#include "tests/support/test_env.h"

namespace tavelo::platform {
namespace {

TEST(WildcardMatch, StrayContinuationBytesAreCharactersOfTheirOwn) {
  EXPECT_TRUE(WildcardMatch("bmpt*\x88.mm", "bmpt010\x88.mm"));
  // Latin-1 names: "25°0001.png" with the degree sign as the one byte 0xB0.
  EXPECT_TRUE(WildcardMatch("25\xB0*.png", "25\xB0" "0001.png"));
  EXPECT_TRUE(WildcardMatch("shot*\xA9.png", "shot0001\xA9.png"));
  EXPECT_FALSE(WildcardMatch("a?b", "a\x88\x88" "b"));
  EXPECT_TRUE(WildcardMatch("a??b", "a\x88\x88" "b"));
  // UTF-8 characters stay one character for '?'.
  EXPECT_TRUE(WildcardMatch("a?b", "a\xC3\xA9" "b"));
  EXPECT_TRUE(WildcardMatch("a?b", "a\xE2\x82\xAC" "b"));
  EXPECT_FALSE(WildcardMatch("a?b", "a\xC3\xA9\xC3\xA9" "b"));
}

TEST(WildcardMatch, TheSearchFindsANumberedFileWhoseSuffixBeginsWithAStrayByte) {
  const std::string dir = test::MakeTempDir("find");
  test::WriteFile(dir + "/bmpt010\x88.mm", "1");
  test::WriteFile(dir + "/bmpt011\x88.mm", "2");
  FindEntry e;
  auto handle = FindFirstFile(dir + "/bmpt*\x88.mm", e);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(e.name, "bmpt010\x88.mm");
  ASSERT_TRUE(FindNextFile(*handle, e));
  EXPECT_EQ(e.name, "bmpt011\x88.mm");
  EXPECT_FALSE(FindNextFile(*handle, e));
}

}  // namespace
}  // namespace tavelo::platform
