// The readers the movie codec libraries keep between a description and the opens that follow.
#include "codecs/ffsession/ff_session.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tavelo::ffsession {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

std::string Copy(const std::string& from, const std::string& to) {
  EXPECT_EQ(std::system(("cp '" + from + "' '" + to + "'").c_str()), 0);
  return to;
}

void SetTime(const std::string& path, time_t sec) {
  struct timespec t[2] = {{sec, 0}, {sec, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

TEST(FFSession, AReaderIsKeptForTheNextOpenOfTheUnchangedFile) {
  ForgetReaders();
  const std::string dir = test::MakeTempDir("shelf");
  const std::string file = Copy(test::MediaPath("codec_movies/theora.ogv"), dir + "/a.ogv");
  SetTime(file, 1000000);

  auto first = TakeReader(file.c_str(), true, true);
  ASSERT_NE(first, nullptr);
  const int64_t frames = first->Video().FrameCount;
  ffreader::Reader* const kept = first.get();
  ReturnReader(std::move(first));
  // The same reader again, and while it is out a second one over its index.
  auto again = TakeReader(file.c_str(), true, true);
  EXPECT_EQ(again.get(), kept);
  auto second = TakeReader(file.c_str(), false, true);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second.get(), kept);
  EXPECT_EQ(second->Video().FrameCount, frames);
  ffreader::Reader* const shared = second.get();
  ReturnReader(std::move(again));
  ReturnReader(std::move(second));

  // A new modification time: the file is indexed again.
  SetTime(file, 2000000);
  auto touched = TakeReader(file.c_str(), true, true);
  ASSERT_NE(touched, nullptr);
  EXPECT_NE(touched.get(), kept);
  EXPECT_NE(touched.get(), shared);
  ffreader::Reader* const touchedKept = touched.get();
  ReturnReader(std::move(touched));

  // The same bytes and time renamed into its place: another file, which a kept reader does not hold.
  const std::string twin = Copy(file, dir + "/b.ogv");
  SetTime(twin, 2000000);
  ASSERT_EQ(std::rename(twin.c_str(), file.c_str()), 0);
  auto renamed = TakeReader(file.c_str(), true, true);
  ASSERT_NE(renamed, nullptr);
  EXPECT_NE(renamed.get(), touchedKept);
  ReturnReader(std::move(renamed));

  // Another movie under the name: its own figures, not the kept ones.
  Copy(test::MediaPath("codec_movies/wmv1.wmv"), file);
  auto replaced = TakeReader(file.c_str(), true, true);
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->Video().CodecName, "wmv1");
  ReturnReader(std::move(replaced), false);

  // Asking for pictures of a sound-only index does not take it.
  auto sound = TakeReader(test::MediaPath("codec_movies/vorbis.ogg").c_str(), false, true);
  ASSERT_NE(sound, nullptr);
  EXPECT_FALSE(sound->HasVideo());
  ReturnReader(std::move(sound));
  EXPECT_EQ(TakeReader(test::MediaPath("codec_movies/vorbis.ogg").c_str(), true, false), nullptr);
  ForgetReaders();
}

// A session hands its reader back when it ends, and the next session of the file takes it.
TEST(FFSession, ASessionThatEndsLeavesItsReaderToTheNext) {
  ForgetReaders();
  const std::string file = test::MediaPath("codec_movies/wmv1.wmv");
  ffreader::Reader* kept = nullptr;
  {
    Session s;
    ASSERT_TRUE(s.Open(file.c_str(), true, true));
    s.VideoOk = true;
    kept = s.R.get();
  }
  Session next;
  ASSERT_TRUE(next.Open(file.c_str(), true, true));
  EXPECT_EQ(next.R.get(), kept);
  // A session that accepted nothing keeps nothing.
  {
    Session refused;
    ASSERT_TRUE(refused.Open(test::MediaPath("codec_movies/theora.ogv").c_str(), true, true));
    kept = refused.R.get();
  }
  Session after;
  ASSERT_TRUE(after.Open(test::MediaPath("codec_movies/theora.ogv").c_str(), true, true));
  EXPECT_NE(after.R.get(), kept);
  ForgetReaders();
}

}  // namespace
}  // namespace tavelo::ffsession
