// Windows Media Audio is counted from its blocks at open, not decoded: on every packet the count
// must give what FFmpeg's decoder delivers after it, and the reader's length and sound must be
// those of the decoding scan; streams the count does not follow are decoded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ffreader/ff_asf_sound.h"
#include "ffreader/ff_decode.h"
#include "ffreader/ff_reader.h"
#include "tests/codecs/ffmpeg_made.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace tavelo::ffreader {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

std::string Make(const std::string& name, const std::string& args) { return test::FFmpegMade("asf_sound", name, args); }

// Feeds every sound packet to a WmaCount and to the decoder: false when the count refused the
// stream; else each packet's samples (and the drain's) must be the decoder's.
bool CountsAsDecoded(const std::string& path, int64_t& total, bool reservoir = false) {
  AVFormatContext* fmt = nullptr;
  EXPECT_GE(avformat_open_input(&fmt, path.c_str(), nullptr, nullptr), 0) << path;
  if (fmt == nullptr) return false;
  EXPECT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  const int as = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  EXPECT_GE(as, 0);
  AVCodecParameters* par = fmt->streams[as]->codecpar;
  if (reservoir) par->extradata[par->codec_id == AV_CODEC_ID_WMAV1 ? 2 : 4] |= 2;
  WmaCount count;
  bool counted = count.Start(par);
  if (reservoir) par->extradata[par->codec_id == AV_CODEC_ID_WMAV1 ? 2 : 4] &= ~2;
  Decoder dec;
  EXPECT_TRUE(dec.Open(par));
  dec.Context()->pkt_timebase = AVRational{1, par->sample_rate};
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  const auto drain = [&] {
    int64_t n = 0;
    while (dec.Receive(frame) == 0) {
      n += frame->nb_samples;
      av_frame_unref(frame);
    }
    return n;
  };
  total = 0;
  for (int64_t i = 0; av_read_frame(fmt, pkt) >= 0; av_packet_unref(pkt)) {
    if (pkt->stream_index != as) continue;
    int64_t model = 0;
    counted = counted && count.Packet(pkt, model);
    dec.Send(pkt);
    const int64_t got = drain();
    if (counted) {
      EXPECT_EQ(model, got) << "packet " << i;
    }
    total += got;
    ++i;
  }
  dec.Send(nullptr);
  const int64_t tail = drain();
  int64_t model = 0;
  counted = counted && count.Tail(model);
  if (counted) {
    EXPECT_EQ(model, tail);
  }
  total += tail;
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return counted;
}

TEST(FFAsfSound, CountsAreTheDecodersOrTheStreamIsDecoded) {
  struct Case {
    std::string file;
    bool counted;
    bool reservoir = false;  // the stream claims frames spread over blocks
  };
  const auto tone = [](int rate, int seconds10, const char* codec, int channels) {
    return "-f lavfi -i sine=f=440:r=" + std::to_string(rate) + ":d=" + std::to_string(seconds10 / 10.0) +
           " -c:a " + codec + " -ac " + std::to_string(channels) + " -b:a 32k";
  };
  const std::vector<Case> cases = {
      {test::MediaPath("codec_movies/tone.wma"), true},
      {test::MediaPath("codec_movies/wmv1.wmv"), true},
      {test::MediaPath("codec_movies/wmv2.wmv"), true},
      // Each frame length: 512 at 16 kHz and below, 1024 up to 22.05 kHz (32 kHz for version 1), 2048.
      {Make("v1_8k.wma", tone(8000, 13, "wmav1", 1)), true},
      {Make("v1_32k.wma", tone(32000, 13, "wmav1", 2)), true},
      {Make("v2_32k.wma", tone(32000, 13, "wmav2", 1)), true},
      {Make("v2_22k.asf", tone(22050, 13, "wmav2", 2)), true},
      // Shorter than the blocks the model is checked on.
      {Make("tiny.wma", tone(44100, 1, "wmav2", 1)), false},
      {test::MediaPath("codec_movies/tone.wma"), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    int64_t decoded = 0;
    EXPECT_EQ(CountsAsDecoded(c.file, decoded, c.reservoir), c.counted);
    if (c.reservoir) continue;
    // The reader's length, counted or decoded, is the decoder's; and its sound is the scan's.
    auto counted = Reader::Open(c.file, OpenOptions{false, true, false});
    auto scanned = Reader::Open(c.file, OpenOptions{false, true, true});
    ASSERT_TRUE(counted && scanned);
    EXPECT_EQ(counted->Audio().SampleCount, decoded);
    EXPECT_EQ(scanned->Audio().SampleCount, decoded);
    const int64_t n = 700;
    std::vector<int16_t> a(n * 2), b(n * 2);
    for (int64_t pos : {decoded - 1, decoded / 2, int64_t{0}}) {
      EXPECT_EQ(counted->ReadAudio(pos, a.data(), n), scanned->ReadAudio(pos, b.data(), n)) << pos;
      EXPECT_EQ(a, b) << pos;
    }
  }
}

}  // namespace
}  // namespace tavelo::ffreader
