// The readers the movie codec libraries keep between a description and the opens that follow.
#include "ffsession/ff_session.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
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

// Whether `b` is the reader `a` watched. A freed reader's address may be given to the next one, so
// readers are told apart by their ownership, which the watching weak pointer keeps alive.
bool Same(const std::weak_ptr<ffreader::Reader>& a, const std::shared_ptr<ffreader::Reader>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
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
  const std::weak_ptr<ffreader::Reader> kept = first;
  ReturnReader(std::move(first));
  // The same reader again, and while it is out a second one over its index.
  auto again = TakeReader(file.c_str(), true, true);
  EXPECT_TRUE(Same(kept, again));
  auto second = TakeReader(file.c_str(), false, true);
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(Same(kept, second));
  EXPECT_EQ(second->Video().FrameCount, frames);
  const std::weak_ptr<ffreader::Reader> shared = second;
  ReturnReader(std::move(again));
  ReturnReader(std::move(second));

  // A new modification time: the file is indexed again.
  SetTime(file, 2000000);
  auto touched = TakeReader(file.c_str(), true, true);
  ASSERT_NE(touched, nullptr);
  EXPECT_FALSE(Same(kept, touched));
  EXPECT_FALSE(Same(shared, touched));
  const std::weak_ptr<ffreader::Reader> touchedKept = touched;
  ReturnReader(std::move(touched));

  // The same bytes and time renamed into its place: another file, which a kept reader does not hold.
  const std::string twin = Copy(file, dir + "/b.ogv");
  SetTime(twin, 2000000);
  ASSERT_EQ(std::rename(twin.c_str(), file.c_str()), 0);
  auto renamed = TakeReader(file.c_str(), true, true);
  ASSERT_NE(renamed, nullptr);
  EXPECT_FALSE(Same(touchedKept, renamed));
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
  std::weak_ptr<ffreader::Reader> kept;
  {
    Session s;
    ASSERT_TRUE(s.Open(file.c_str(), true, true));
    s.VideoOk = true;
    kept = s.R;
  }
  Session next;
  ASSERT_TRUE(next.Open(file.c_str(), true, true));
  EXPECT_TRUE(Same(kept, next.R));
  // A session that accepted nothing keeps nothing.
  {
    Session refused;
    ASSERT_TRUE(refused.Open(test::MediaPath("codec_movies/theora.ogv").c_str(), true, true));
    kept = refused.R;
  }
  Session after;
  ASSERT_TRUE(after.Open(test::MediaPath("codec_movies/theora.ogv").c_str(), true, true));
  EXPECT_FALSE(Same(kept, after.R));
  ForgetReaders();
}

}  // namespace
}  // namespace tavelo::ffsession
