#include "tests/formats/ffmpeg_ref.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace tavelo::test {

namespace {

uint32_t Rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | (g << 8) | (b << 16) | (a << 24); }

bool Convert(const AVFrame* f, RefPicture& ref, std::string& why) {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(f->format);
  ref.Width = f->width;
  ref.Height = f->height;
  const char* name = av_get_pix_fmt_name(fmt);
  ref.PixFmt = name != nullptr ? name : "?";
  ref.Pixels.assign(static_cast<size_t>(f->width) * f->height, 0);
  for (int y = 0; y < f->height; ++y) {
    const uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    for (int x = 0; x < f->width; ++x) {
      uint32_t& out = ref.Pixels[static_cast<size_t>(y) * f->width + x];
      const uint8_t* p;
      switch (fmt) {
        case AV_PIX_FMT_PAL8: {
          const uint32_t v = reinterpret_cast<const uint32_t*>(f->data[1])[row[x]];  // 0xAARRGGBB
          out = Rgba((v >> 16) & 255, (v >> 8) & 255, v & 255, 0);
          break;
        }
        case AV_PIX_FMT_GRAY8: out = Rgba(row[x], row[x], row[x], 0); break;
        case AV_PIX_FMT_MONOBLACK:
        case AV_PIX_FMT_MONOWHITE: {
          int bit = (row[x / 8] >> (7 - x % 8)) & 1;
          if (fmt == AV_PIX_FMT_MONOWHITE) bit ^= 1;
          out = bit ? Rgba(255, 255, 255, 0) : 0;
          break;
        }
        case AV_PIX_FMT_RGB24: p = row + 3 * x; out = Rgba(p[0], p[1], p[2], 0); break;
        case AV_PIX_FMT_BGR24: p = row + 3 * x; out = Rgba(p[2], p[1], p[0], 0); break;
        case AV_PIX_FMT_BGRA: p = row + 4 * x; out = Rgba(p[2], p[1], p[0], p[3]); ref.HasAlpha = true; break;
        case AV_PIX_FMT_RGBA: p = row + 4 * x; out = Rgba(p[0], p[1], p[2], p[3]); ref.HasAlpha = true; break;
        case AV_PIX_FMT_ARGB: p = row + 4 * x; out = Rgba(p[1], p[2], p[3], p[0]); ref.HasAlpha = true; break;
        case AV_PIX_FMT_ABGR: p = row + 4 * x; out = Rgba(p[3], p[2], p[1], p[0]); ref.HasAlpha = true; break;
        case AV_PIX_FMT_BGR0: p = row + 4 * x; out = Rgba(p[2], p[1], p[0], 0); break;
        case AV_PIX_FMT_RGB0: p = row + 4 * x; out = Rgba(p[0], p[1], p[2], 0); break;
        case AV_PIX_FMT_0RGB: p = row + 4 * x; out = Rgba(p[1], p[2], p[3], 0); break;
        case AV_PIX_FMT_0BGR: p = row + 4 * x; out = Rgba(p[3], p[2], p[1], 0); break;
        case AV_PIX_FMT_RGB555LE:
          p = row + 2 * x;
          out = (p[0] | (p[1] << 8)) & 0x7FFF;
          ref.Kind = 555;
          break;
        case AV_PIX_FMT_RGB565LE:
          p = row + 2 * x;
          out = p[0] | (p[1] << 8);
          ref.Kind = 565;
          break;
        default: why = "unhandled FFmpeg pixel format " + ref.PixFmt; return false;
      }
    }
  }
  return true;
}

}  // namespace

bool FFmpegDecode(const std::string& path, RefPicture& ref, std::string& why) {
  ref = RefPicture();
  AVFormatContext* fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) {
    why = "FFmpeg cannot open " + path;
    return false;
  }
  bool ok = false;
  AVCodecContext* cc = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  do {
    if (avformat_find_stream_info(fc, nullptr) < 0 || fc->nb_streams < 1) {
      why = "no stream";
      break;
    }
    const AVCodec* codec = avcodec_find_decoder(fc->streams[0]->codecpar->codec_id);
    if (codec == nullptr) {
      why = "no decoder";
      break;
    }
    cc = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(cc, fc->streams[0]->codecpar);
    if (avcodec_open2(cc, codec, nullptr) < 0) {
      why = "decoder does not open";
      break;
    }
    bool got = false;
    while (!got && av_read_frame(fc, pkt) >= 0) {
      if (avcodec_send_packet(cc, pkt) >= 0 && avcodec_receive_frame(cc, frame) >= 0) got = true;
      av_packet_unref(pkt);
    }
    if (!got) {
      avcodec_send_packet(cc, nullptr);
      got = avcodec_receive_frame(cc, frame) >= 0;
    }
    if (!got) {
      why = "FFmpeg decodes no picture";
      break;
    }
    ok = Convert(frame, ref, why);
  } while (false);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&cc);
  avformat_close_input(&fc);
  return ok;
}

std::string CompareWithRef(const Qimg& img, const RefPicture& ref) {
  if (img.Width != ref.Width || img.Height != ref.Height)
    return "size " + std::to_string(img.Width) + "x" + std::to_string(img.Height) + " against " +
           std::to_string(ref.Width) + "x" + std::to_string(ref.Height);
  if ((ref.Kind == 555 && img.Bpp != 15) || (ref.Kind == 565 && img.Bpp != 16))
    return "depth " + std::to_string(img.Bpp) + " against FFmpeg's " + ref.PixFmt;
  for (int32_t y = 0; y < img.Height; ++y) {
    for (int32_t x = 0; x < img.Width; ++x) {
      const uint8_t* p = img.Data + (static_cast<int64_t>(y) * img.Width + x) * img.BytesPP;
      uint32_t ours;
      switch (img.Bpp) {
        case 8: {
          const uint8_t* e = img.Palette.data() + 3 * p[0];
          ours = Rgba(e[2], e[1], e[0], 0);
          break;
        }
        case 15: ours = (p[0] | (p[1] << 8)) & 0x7FFF; break;
        case 16: ours = p[0] | (p[1] << 8); break;
        case 24: ours = Rgba(p[2], p[1], p[0], 0); break;
        default: ours = Rgba(p[2], p[1], p[0], ref.HasAlpha ? p[3] : 0); break;
      }
      uint32_t theirs = ref.Pixels[static_cast<size_t>(y) * ref.Width + x];
      if (ref.Kind == 0 && !ref.HasAlpha) theirs &= 0xFFFFFF;
      if (ref.Kind == 0 && img.Bpp != 32) theirs &= 0xFFFFFF;
      if (ours != theirs) {
        char text[160];
        std::snprintf(text, sizeof(text), "pixel (%d,%d): ours %08x, FFmpeg's %08x (%s)", x, y, ours, theirs,
                      ref.PixFmt.c_str());
        return text;
      }
    }
  }
  return std::string();
}

}  // namespace tavelo::test
