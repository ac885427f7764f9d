#include "tests/formats/ffmpeg_frames.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace tavelo::test {

namespace {

uint32_t Rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | (g << 8) | (b << 16) | (a << 24); }

bool Take(const AVFrame* f, RefFrames& ref, std::string& why) {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(f->format);
  const char* name = av_get_pix_fmt_name(fmt);
  ref.PixFmt = name != nullptr ? name : "?";
  ref.Width = f->width;
  ref.Height = f->height;
  std::vector<uint32_t> px(static_cast<size_t>(f->width) * f->height);
  std::vector<uint8_t> idx;
  std::array<uint32_t, 256> pal{};
  if (fmt == AV_PIX_FMT_PAL8) {
    std::memcpy(pal.data(), f->data[1], sizeof pal);
    idx.resize(px.size());
  } else if (fmt != AV_PIX_FMT_BGRA && fmt != AV_PIX_FMT_RGB24 && fmt != AV_PIX_FMT_BGR24) {
    why = "unhandled FFmpeg pixel format " + ref.PixFmt;
    return false;
  }
  for (int y = 0; y < f->height; ++y) {
    const uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    for (int x = 0; x < f->width; ++x) {
      uint32_t& out = px[static_cast<size_t>(y) * f->width + x];
      const uint8_t* p;
      switch (fmt) {
        case AV_PIX_FMT_PAL8: {
          idx[static_cast<size_t>(y) * f->width + x] = row[x];
          const uint32_t v = pal[row[x]];
          out = Rgba((v >> 16) & 255, (v >> 8) & 255, v & 255, 255);
          break;
        }
        case AV_PIX_FMT_BGRA: p = row + 4 * x; out = Rgba(p[2], p[1], p[0], p[3]); break;
        case AV_PIX_FMT_RGB24: p = row + 3 * x; out = Rgba(p[0], p[1], p[2], 255); break;
        default: p = row + 3 * x; out = Rgba(p[2], p[1], p[0], 255); break;
      }
    }
  }
  ref.Pixels.push_back(std::move(px));
  if (fmt == AV_PIX_FMT_PAL8) {
    ref.Indices.push_back(std::move(idx));
    ref.Palettes.push_back(pal);
  }
  return true;
}

}  // namespace

bool FFmpegDecodeAll(const std::string& path, RefFrames& ref, std::string& why) {
  ref = RefFrames();
  AVFormatContext* fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) {
    why = "FFmpeg cannot open " + path;
    return false;
  }
  bool ok = true;
  AVCodecContext* cc = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  do {
    if (avformat_find_stream_info(fc, nullptr) < 0 || fc->nb_streams < 1) {
      why = "no stream";
      ok = false;
      break;
    }
    const AVCodec* codec = avcodec_find_decoder(fc->streams[0]->codecpar->codec_id);
    if (codec == nullptr) {
      why = "no decoder";
      ok = false;
      break;
    }
    cc = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(cc, fc->streams[0]->codecpar);
    if (avcodec_open2(cc, codec, nullptr) < 0) {
      why = "decoder does not open";
      ok = false;
      break;
    }
    auto drain = [&] {
      while (ok && avcodec_receive_frame(cc, frame) >= 0) {
        ok = Take(frame, ref, why);
        av_frame_unref(frame);
      }
    };
    while (ok && av_read_frame(fc, pkt) >= 0) {
      if (pkt->stream_index == 0 && avcodec_send_packet(cc, pkt) >= 0) drain();
      av_packet_unref(pkt);
    }
    avcodec_send_packet(cc, nullptr);
    drain();
    if (ok && ref.Pixels.empty()) {
      why = "FFmpeg decodes no picture";
      ok = false;
    }
  } while (false);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&cc);
  avformat_close_input(&fc);
  return ok;
}

}  // namespace tavelo::test
