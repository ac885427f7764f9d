// FFmpeg's side of the file-name-to-pixels benchmarks: open the file by its name (the demuxer
// FFmpeg picks for it), decode every picture on one thread, close. Returns the pictures decoded
// (0 when the file could not be opened or decoded).
#pragma once
#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace tavelo::bench {

inline int64_t FFmpegDecodeFile(const std::string& path) {
  AVFormatContext* fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return 0;
  int64_t frames = 0;
  const AVStream* st = fc->nb_streams > 0 ? fc->streams[0] : nullptr;
  const AVCodec* codec = st != nullptr ? avcodec_find_decoder(st->codecpar->codec_id) : nullptr;
  AVCodecContext* cc = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  if (cc != nullptr && avcodec_parameters_to_context(cc, st->codecpar) >= 0) {
    cc->thread_count = 1;
    if (avcodec_open2(cc, codec, nullptr) >= 0) {
      auto drain = [&] {
        while (avcodec_receive_frame(cc, frame) >= 0) {
          ++frames;
          av_frame_unref(frame);
        }
      };
      while (av_read_frame(fc, pkt) >= 0) {
        const int sent = pkt->stream_index == 0 ? avcodec_send_packet(cc, pkt) : 0;
        av_packet_unref(pkt);
        if (sent < 0) break;
        drain();
      }
      avcodec_send_packet(cc, nullptr);
      drain();
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&cc);
  avformat_close_input(&fc);
  return frames;
}

}  // namespace tavelo::bench
