#include "ffreader/ff_packets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "ffreader/ff_decode.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/intreadwrite.h>
}

namespace tavelo::ffreader {

namespace {

// Tracker and game-console music: the sound is rendered by running the module, so its cost is
// the length it claims, not the size of the file (1.8 KB rendered fifteen minutes), and the index
// the reader builds at open would render all of it.
bool RendersItsSound(const AVInputFormat* format) {
  static constexpr const char* kRenderers[] = {"libopenmpt", "libgme", "libmodplug"};
  if (format == nullptr || format->name == nullptr) return false;
  return std::any_of(std::begin(kRenderers), std::end(kRenderers),
                     [&](const char* r) { return std::strcmp(format->name, r) == 0; });
}

}  // namespace

// Only a regular file is read: FFmpeg would wait for ever on a FIFO (and read a device or a
// socket without end), and a name holding a NUL would open the part before the NUL.
bool RegularFile(const std::string& name, std::string& error) {
  struct stat st {};
  if (name.find('\0') != std::string::npos) {
    error = "cannot open: the name holds a NUL character";
  } else if (::stat(name.c_str(), &st) != 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? "cannot open: it is a folder" : "cannot open: not a regular file";
  } else {
    return true;
  }
  return false;
}

bool Demuxer::Open(const std::string& name, std::string& error, const std::atomic<bool>* stop,
                   const AVInputFormat* format) {
  Close();
  if (!RegularFile(name, error)) return false;
  LimitLibraryAllocations();
  if (stop != nullptr) {
    fmt_ = avformat_alloc_context();
    if (fmt_ == nullptr) {
      error = "out of memory";
      return false;
    }
    fmt_->interrupt_callback.callback = [](void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0; };
    fmt_->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(stop);
  }
  const AVInputFormat* known = format != nullptr ? format : FormatByHead(name);
  int err = avformat_open_input(&fmt_, name.c_str(), known, nullptr);
  if (err < 0) {
    error = "cannot open: " + ErrorString(err);
    fmt_ = nullptr;
    return false;
  }
  // As sure as the probe would have been.
  if (known != nullptr) fmt_->probe_score = AVPROBE_SCORE_MAX;
  if (RendersItsSound(fmt_->iformat)) {
    error = std::string("cannot open: music rendered from a module (") + fmt_->iformat->name + ") is not played";
    Close();
    return false;
  }
  // The decoders that probing opens get the reader's picture limit too.
  std::vector<AVDictionary*> options(fmt_->nb_streams, nullptr);
  for (AVDictionary*& o : options) av_dict_set_int(&o, "max_pixels", kMaxDecodedPixels, 0);
  err = avformat_find_stream_info(fmt_, options.empty() ? nullptr : options.data());
  for (AVDictionary*& o : options) av_dict_free(&o);
  if (err < 0) {
    error = "cannot read the streams: " + ErrorString(err);
    Close();
    return false;
  }
  packet_ = av_packet_alloc();
  if (packet_ == nullptr) {
    error = "out of memory";
    Close();
    return false;
  }
  return true;
}

const AVInputFormat* FormatByHead(const std::string& name) {
  static const uint8_t kAsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                         0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  uint8_t head[16];
  const bool read = ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
  ::close(fd);
  if (!read) return nullptr;
  static const AVInputFormat* const mov = av_find_input_format("mov");
  static const AVInputFormat* const asf = av_find_input_format("asf");
  static const AVInputFormat* const ogg = av_find_input_format("ogg");
  if (std::memcmp(head + 4, "ftyp", 4) == 0 && AV_RB32(head) >= 8 && std::memcmp(head + 8, "jp2 ", 4) != 0 &&
      std::memcmp(head + 8, "jxl ", 4) != 0)
    return mov;
  if (std::memcmp(head, kAsfHeader, sizeof kAsfHeader) == 0) return asf;
  if (std::memcmp(head, "OggS", 5) == 0 && head[5] <= 7) return ogg;
  return nullptr;
}

const AVInputFormat* AviInputFormat() {
  static const AVInputFormat* const avi = av_find_input_format("avi");
  return avi;
}

uint64_t PacketMark(const AVPacket* pkt) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint8_t b) {
    h ^= b;
    h *= 1099511628211ull;
  };
  const uint64_t size = static_cast<uint64_t>(pkt->size);
  for (int i = 0; i < 8; ++i) mix(static_cast<uint8_t>(size >> (8 * i)));
  const int n = pkt->size;
  const int head = std::min(n, 256);
  for (int i = 0; i < head; ++i) mix(pkt->data[i]);
  for (int i = std::max(head, n - 256); i < n; ++i) mix(pkt->data[i]);
  return h == 0 ? 1 : h;
}

bool IsAttachedPicture(const AVStream* st) { return (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0; }

int FindStream(AVFormatContext* fmt, AVMediaType type) {
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    if (st->codecpar->codec_type != type || IsAttachedPicture(st)) continue;
    if (avcodec_find_decoder(st->codecpar->codec_id) == nullptr) continue;
    if (type == AVMEDIA_TYPE_VIDEO && (st->codecpar->width < 1 || st->codecpar->height < 1)) continue;
    if (type == AVMEDIA_TYPE_AUDIO && (st->codecpar->sample_rate < 1 || st->codecpar->ch_layout.nb_channels < 1))
      continue;
    return static_cast<int>(i);
  }
  return -1;
}

bool MeasuredSound(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_VORBIS:
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
    case AV_CODEC_ID_WMAPRO:
    case AV_CODEC_ID_WMAVOICE:
    case AV_CODEC_ID_WMALOSSLESS: return true;
    default: return false;
  }
}

}  // namespace tavelo::ffreader
