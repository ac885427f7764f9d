#include "ffreader/ff_asf_sound.h"

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace tavelo::ffreader {

int WmaFrameLength(const AVCodecParameters* par) {
  if (par == nullptr || par->block_align <= 0 || par->sample_rate <= 0) return 0;
  int version = 0;
  int flags = 0;
  // The encoder's flags: bit 1 says frames are spread over blocks (the bit reservoir).
  if (par->codec_id == AV_CODEC_ID_WMAV1) {
    version = 1;
    if (par->extradata_size < 4) return 0;
    flags = AV_RL16(par->extradata + 2);
  } else if (par->codec_id == AV_CODEC_ID_WMAV2) {
    version = 2;
    if (par->extradata_size < 6) return 0;
    flags = AV_RL16(par->extradata + 4);
  } else {
    return 0;
  }
  if ((flags & 2) != 0) return 0;
  // The transform size the decoder picks from the rate (larger for higher rates).
  const int rate = par->sample_rate;
  if (rate <= 16000) return 512;
  if (rate <= 22050 || (rate <= 32000 && version == 1)) return 1024;
  return 2048;
}

WmaCount::~WmaCount() { av_frame_free(&decoded_); }

bool WmaCount::Start(const AVCodecParameters* par) {
  frameLength_ = WmaFrameLength(par);
  if (frameLength_ == 0) return false;
  blockAlign_ = par->block_align;
  frames_ = 0;
  if (decoded_ == nullptr) decoded_ = av_frame_alloc();
  if (decoded_ == nullptr || !check_.Open(par)) return false;
  // (As when the sound is decoded to be counted.)
  check_.Context()->pkt_timebase = AVRational{1, par->sample_rate};
  return true;
}

bool WmaCount::Block(int size, const uint8_t* data, int64_t& samples) {
  if (frameLength_ == 0 || size != blockAlign_) return false;
  // What the model says this block gives: nothing while the first frames are held back.
  samples = frames_ < kHeld ? 0 : frameLength_;
  ++frames_;
  if (frames_ > kChecked) return true;
  // The first blocks are decoded all the same, and must give what the model says.
  int64_t got = 0;
  if (data == nullptr || check_.Send(data, static_cast<size_t>(size), AV_NOPTS_VALUE, true) < 0) return false;
  while (check_.Receive(decoded_) == 0) {
    got += decoded_->nb_samples;
    av_frame_unref(decoded_);
  }
  if (frames_ == kChecked) check_.Close();
  return got == samples;
}

bool WmaCount::Tail(int64_t& samples) const {
  // (A stream of fewer blocks than were checked never reached its steady state.)
  samples = frameLength_;
  return frames_ > kChecked;
}

}  // namespace tavelo::ffreader
