#include "ffsession/ff_session.h"

#include <sys/stat.h>

#include <cstdio>
#include <iterator>
#include <list>
#include <mutex>
#include <unordered_map>

namespace tavelo::ffsession {

bool ReadHead(const char* fileName, size_t n, std::vector<uint8_t>& head) {
  head.clear();
  if (fileName == nullptr) return false;
  FILE* f = std::fopen(fileName, "rb");
  if (f == nullptr) return false;
  try {
    head.resize(n);
  } catch (...) {
    std::fclose(f);
    return false;
  }
  const size_t got = std::fread(head.data(), 1, n, f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  head.resize(got);
  return !failed;
}

int32_t Clamp32(int64_t v) {
  if (v > 0x7FFFFFFF) return 0x7FFFFFFF;
  if (v < -0x7FFFFFFF) return -0x7FFFFFFF;
  return static_cast<int32_t>(v);
}

namespace {

// A file is the same while its name, size, modification time and inode are: a kept reader holds the
// old file open, so a file put in its place by a rename (cp -p, rsync keep the time) is another file.
struct Stamp {
  std::string Name;
  int64_t Size = -1;
  int64_t Time = 0;
  uint64_t Device = 0, Inode = 0;
  bool operator==(const Stamp&) const = default;
};

bool StampOf(const char* fileName, Stamp& s) {
  struct stat st {};
  if (fileName == nullptr || ::stat(fileName, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  s.Name = fileName;
  s.Size = st.st_size;
  s.Time = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.Device = static_cast<uint64_t>(st.st_dev);
  s.Inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

class Shelf {
 public:
  std::shared_ptr<ffreader::Reader> Take(const char* fileName, bool video, bool audio,
                                         const ffreader::ScanProgress& progress) {
    Stamp stamp;
    if (!StampOf(fileName, stamp)) return nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (!(it->Key == stamp) || (video && !it->Video) || (audio && !it->Audio)) continue;
        Item& item = *it;
        std::shared_ptr<ffreader::Reader> reader;
        if (!item.Parked.empty()) {
          reader = std::move(item.Parked.back());
          item.Parked.pop_back();
        } else {
          reader = item.Seed->Share();
        }
        if (reader == nullptr) break;
        Issued(reader.get(), stamp);
        items_.splice(items_.begin(), items_, it);
        return reader;
      }
    }
    // Built outside the lock: indexing reads the file.
    ffreader::OpenOptions options;
    options.Video = video;
    options.Audio = audio;
    std::shared_ptr<ffreader::Reader> reader = ffreader::Reader::Open(fileName, options, nullptr, progress);
    if (reader == nullptr) return nullptr;
    // Readers given up are closed outside the lock, on the thread kept for closes: this open
    // need not wait for them.
    std::list<Item> gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = items_.begin(); it != items_.end();) {
        auto next = std::next(it);
        if (it->Key == stamp) gone.splice(gone.end(), items_, it);
        it = next;
      }
      items_.push_front(Item{stamp, video, audio, reader, {}});
      if (items_.size() > kKeptFiles) gone.splice(gone.end(), items_, std::prev(items_.end()));
      Issued(reader.get(), stamp);
    }
    std::vector<std::shared_ptr<ffreader::Reader>> closing;
    for (Item& item : gone) {
      closing.push_back(std::move(item.Seed));
      for (auto& parked : item.Parked) closing.push_back(std::move(parked));
    }
    ffreader::Reader::FreeInBackground(std::move(closing));
    return reader;
  }

  void Return(std::shared_ptr<ffreader::Reader> reader, bool keep) {
    if (reader == nullptr) return;
    if (keep) reader->Rest();
    std::lock_guard<std::mutex> lock(mutex_);
    auto issued = issued_.find(reader.get());
    if (issued == issued_.end()) return;
    const Stamp stamp = issued->second;
    issued_.erase(issued);
    if (!keep) return;
    // The file changed since the reader was made: its index no longer describes it.
    Stamp now;
    if (!StampOf(stamp.Name.c_str(), now) || !(now == stamp)) return;
    for (Item& item : items_)
      if (item.Key == stamp && item.Parked.size() < kParkedPerFile) {
        item.Parked.push_back(std::move(reader));
        return;
      }
  }

  void Clear() {
    std::list<Item> gone;
    std::lock_guard<std::mutex> lock(mutex_);
    gone.swap(items_);
    issued_.clear();
  }

 private:
  struct Item {
    Stamp Key;
    bool Video = false, Audio = false;       // the streams its index covers
    std::shared_ptr<ffreader::Reader> Seed;  // the index's source for new readers
    std::vector<std::shared_ptr<ffreader::Reader>> Parked;
  };
  static constexpr size_t kKeptFiles = 2;
  static constexpr size_t kParkedPerFile = 2;

  void Issued(const ffreader::Reader* r, const Stamp& stamp) {
    issued_[r] = stamp;
  }

  std::mutex mutex_;
  std::list<Item> items_;  // most recently used first
  std::unordered_map<const ffreader::Reader*, Stamp> issued_;
};

Shelf& TheShelf() {
  static Shelf shelf;
  return shelf;
}

}  // namespace

std::shared_ptr<ffreader::Reader> TakeReader(const char* fileName, bool video, bool audio,
                                             const ffreader::ScanProgress& progress) {
  try {
    return TheShelf().Take(fileName, video, audio, progress);
  } catch (...) {
    return nullptr;
  }
}

void ReturnReader(std::shared_ptr<ffreader::Reader> reader, bool keep) {
  try {
    TheShelf().Return(std::move(reader), keep);
  } catch (...) {
  }
}

void ForgetReaders() { TheShelf().Clear(); }

Session::~Session() { ReturnReader(std::move(R), VideoOk || AudioOk); }

bool Session::Open(const char* fileName, bool video, bool audio,
                   const ffreader::ScanProgress& progress) {
  ReturnReader(std::move(R), VideoOk || AudioOk);
  R.reset();
  VideoOk = AudioOk = false;
  NextFrame = AudioPos = 0;
  if (fileName == nullptr) return false;
  R = TakeReader(fileName, video, audio, progress);
  return R != nullptr;
}

int32_t Session::Width() const { return VideoOk ? R->Video().Width : 0; }
int32_t Session::Height() const { return VideoOk ? R->Video().Height : 0; }
int32_t Session::FrameCount() const { return VideoOk ? Clamp32(R->Video().FrameCount) : 0; }
double Session::FrameRate() const { return VideoOk ? R->Video().FrameRate : 0.0; }
int32_t Session::SampleRate() const { return AudioOk ? R->Audio().SampleRate : 0; }
int32_t Session::Channels() const { return AudioOk ? R->Audio().Channels : 0; }
int32_t Session::SampleCount() const { return AudioOk ? Clamp32(R->Audio().SampleCount) : 0; }

bool Session::ReadNextFrame(void* pixels) {
  if (!VideoOk || pixels == nullptr || NextFrame >= FrameCount()) return false;
  if (!R->ReadFrame(NextFrame, static_cast<uint8_t*>(pixels), static_cast<ptrdiff_t>(Width()) * 3)) return false;
  ++NextFrame;
  return true;
}

bool Session::SeekFrame(int64_t index) {
  if (!VideoOk || index < 0 || index >= FrameCount()) return false;
  NextFrame = index;
  return true;
}

int64_t Session::ReadSound(void* buffer, int64_t count) {
  if (!AudioOk || buffer == nullptr || count < 0) return -1;
  if (count == 0) return 0;
  const int64_t got = R->ReadAudio(AudioPos, static_cast<int16_t*>(buffer), count);
  if (got < 0) return -1;
  AudioPos += got;
  return got;
}

bool Session::SeekSound(int64_t pos) {
  if (!AudioOk || pos < 0 || pos > SampleCount()) return false;
  AudioPos = pos;
  return true;
}

}  // namespace tavelo::ffsession
