#include <gtest/gtest.h>

#include "formats/ff_basic.h"
#include "formats/units/ff_avi_names.h"
#include "platform/vfw/vfw_ic.h"

namespace tavelo {
namespace {

uint32_t Code(const char* s) { return FFMakeRGBA(s[0], s[1], s[2], s[3]); }

std::string VideoName(uint32_t code) {
  std::string name = "stale";
  VfwGetVideoName(code, name);
  return name;
}

TEST(CodecNames, FullFramesNeedNoCompressor) {
  for (uint32_t code : {0u, Code("DIB "), Code("raw "), Code("Rgb ")}) {
    EXPECT_TRUE(AVIChk4FullFrames_(code));
    EXPECT_EQ(VideoName(code), "Full frames, uncompressed");
  }
  EXPECT_FALSE(AVIChk4FullFrames_(Code("RGBA")));
  EXPECT_FALSE(AVIChk4FullFrames_(Code("DIB\0")));
}

TEST(CodecNames, VideoOneAliasesAreLookedUpAsMsvc) {
  EXPECT_TRUE(AVIChk4Video1_(Code("CRAM")));
  EXPECT_TRUE(AVIChk4Video1_(Code("wham")));
  EXPECT_TRUE(AVIChk4Video1_(Code("MsVc")));
  EXPECT_FALSE(AVIChk4Video1_(Code("MSV1")));
  const std::string msvc = VideoName(Code("msvc"));
  EXPECT_EQ(msvc, "Microsoft Video 1");
  EXPECT_EQ(VideoName(Code("CRAM")), msvc);
  EXPECT_EQ(VideoName(Code("wham")), msvc);
}

TEST(CodecNames, InstalledDecodersNameTheirCodesAndOthersAreUnknown) {
  EXPECT_EQ(VideoName(Code("XVID")), "MPEG-4 part 2");
  EXPECT_EQ(VideoName(Code("xvid")), "MPEG-4 part 2");  // codes compare without regard to case
  EXPECT_EQ(VideoName(Code("mrle")), "Microsoft RLE");
  EXPECT_EQ(VideoName(Code("ZZZ9")), "Unknown codec");
  EXPECT_EQ(VideoName(0xFFFFFFFFu), "Unknown codec");
}

TEST(CodecNames, CompressorRecord) {
  using namespace platform;
  EXPECT_EQ(ICOpen(Code("vids"), Code("MJPG"), ICMODE_QUERY), nullptr);  // only the type "vidc"
  EXPECT_EQ(ICOpen(kIcTypeVideo, Code("ZZZ9"), ICMODE_QUERY), nullptr);
  HIC h = ICOpen(kIcTypeVideo, Code("MJPG"), ICMODE_QUERY);
  ASSERT_NE(h, nullptr);
  ICINFO info{};
  EXPECT_EQ(ICGetInfo(h, &info, sizeof(info)), 568u);
  EXPECT_EQ(info.dwSize, 568u);
  EXPECT_EQ(info.fccType, kIcTypeVideo);
  EXPECT_EQ(info.fccHandler, Code("MJPG"));
  EXPECT_EQ(std::u16string(info.szDescription), u"Motion JPEG");
  ICINFO part{};
  EXPECT_EQ(ICGetInfo(h, &part, 8), 8u);  // never more than asked for
  EXPECT_EQ(part.fccHandler, 0u);
  EXPECT_EQ(ICGetInfo(nullptr, &info, sizeof(info)), 0u);
  EXPECT_EQ(ICClose(h), 0);
}

}  // namespace
}  // namespace tavelo

namespace tavelo {
namespace {

std::string AudioName(int32_t tag) {
  std::string name = "stale";
  AcmGetAudioName(0, tag, name);
  return name;
}

TEST(CodecNames, AudioFormatTags) {
  EXPECT_EQ(AudioName(1), "PCM, uncompressed");
  EXPECT_EQ(AudioName(0), "Unknown codec");
  EXPECT_EQ(AudioName(-5), "Unknown codec");
  EXPECT_EQ(AudioName(0x11), "IMA ADPCM");
  EXPECT_EQ(AudioName(0x55), "MPEG Layer-3");
  EXPECT_EQ(AudioName(0x7777), "Unknown codec");
}

}  // namespace
}  // namespace tavelo
