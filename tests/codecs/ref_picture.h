// Reference pictures for the picture-format tests: the netpbm files (P4, P5, P6 and P7) that the
// libraries' own tools wrote beside each test picture, read sample by sample at their own depth,
// and the codec libraries opened straight from the build tree.
#pragma once
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace tavelo::test {

struct RefPicture {
  int width = 0;
  int height = 0;
  int channels = 0;  // 1 grey, 2 grey and alpha, 3 RGB, 4 RGB and alpha
  uint32_t maxval = 0;
  std::vector<uint32_t> samples;  // channels per pixel, rows top-down

  uint32_t At(int x, int y, int c) const {
    return samples[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) *
                       static_cast<size_t>(channels) +
                   static_cast<size_t>(c)];
  }
  // The sample scaled to 0..255 (rounded), as a converter to 8 bits gives it.
  uint8_t Scaled(int x, int y, int c) const {
    const uint64_t v = At(x, y, c);
    return static_cast<uint8_t>((v * 255 + maxval / 2) / maxval);
  }
  // The high byte of a 16-bit sample (what stripping the low byte gives), else as Scaled.
  uint8_t High(int x, int y, int c) const {
    return maxval > 255 ? static_cast<uint8_t>(At(x, y, c) >> 8) : Scaled(x, y, c);
  }
};

namespace detail {

inline bool NextToken(const std::string& d, size_t& pos, std::string& token) {
  token.clear();
  while (pos < d.size()) {
    if (d[pos] == '#') {
      while (pos < d.size() && d[pos] != '\n') ++pos;
    } else if (std::isspace(static_cast<unsigned char>(d[pos]))) {
      ++pos;
    } else {
      break;
    }
  }
  while (pos < d.size() && !std::isspace(static_cast<unsigned char>(d[pos])) && d[pos] != '#') token += d[pos++];
  return !token.empty();
}

}  // namespace detail

// Reads the first picture of a netpbm file. A PBM (P4) gives one channel of maxval 1 with 1 for
// white (its bit 0), as a grey reading of the picture has it.
inline bool ReadRefPicture(const std::string& path, RefPicture& ref) {
  const std::string d = ReadFile(path);
  if (d.size() < 3 || d[0] != 'P') return false;
  const char kind = d[1];
  size_t pos = 2;
  std::string t;
  if (kind == '4' || kind == '5' || kind == '6') {
    if (!detail::NextToken(d, pos, t)) return false;
    ref.width = std::atoi(t.c_str());
    if (!detail::NextToken(d, pos, t)) return false;
    ref.height = std::atoi(t.c_str());
    if (kind == '4') {
      ref.maxval = 1;
    } else {
      if (!detail::NextToken(d, pos, t)) return false;
      ref.maxval = static_cast<uint32_t>(std::atoi(t.c_str()));
    }
    ref.channels = kind == '6' ? 3 : 1;
    ++pos;  // the one whitespace character before the samples
  } else if (kind == '7') {
    std::map<std::string, std::string> fields;
    while (detail::NextToken(d, pos, t) && t != "ENDHDR") {
      std::string value;
      if (!detail::NextToken(d, pos, value)) return false;
      fields[t] = value;
    }
    ++pos;
    ref.width = std::atoi(fields["WIDTH"].c_str());
    ref.height = std::atoi(fields["HEIGHT"].c_str());
    ref.channels = std::atoi(fields["DEPTH"].c_str());
    ref.maxval = static_cast<uint32_t>(std::atoi(fields["MAXVAL"].c_str()));
  } else {
    return false;
  }
  if (ref.width < 1 || ref.height < 1 || ref.channels < 1 || ref.maxval < 1 || ref.maxval > 65535) return false;
  const size_t count = static_cast<size_t>(ref.width) * static_cast<size_t>(ref.height) * static_cast<size_t>(ref.channels);
  ref.samples.assign(count, 0);
  if (kind == '4') {
    const size_t rowBytes = (static_cast<size_t>(ref.width) + 7) / 8;
    if (d.size() < pos + rowBytes * static_cast<size_t>(ref.height)) return false;
    for (int y = 0; y < ref.height; ++y)
      for (int x = 0; x < ref.width; ++x) {
        const uint8_t byte = static_cast<uint8_t>(d[pos + static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x) / 8]);
        ref.samples[static_cast<size_t>(y) * static_cast<size_t>(ref.width) + static_cast<size_t>(x)] =
            ((byte >> (7 - x % 8)) & 1) ? 0 : 1;
      }
    return true;
  }
  const size_t bytes = ref.maxval > 255 ? 2 : 1;
  if (d.size() < pos + count * bytes) return false;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(d.data()) + pos + i * bytes;
    ref.samples[i] = bytes == 2 ? (static_cast<uint32_t>(p[0]) << 8 | p[1]) : p[0];
  }
  return true;
}

// The reference decode of a generated test picture (pictures/<name>.ref.pnm or .ref.pam).
inline RefPicture LoadRef(const std::string& base) {
  RefPicture ref;
  if (!ReadRefPicture(MediaPath("pictures/" + base + ".ref.pnm"), ref) &&
      !ReadRefPicture(MediaPath("pictures/" + base + ".ref.pam"), ref))
    ADD_FAILURE() << "no reference decode for " << base;
  return ref;
}

// A codec library opened from the build tree, as the program opens it (local symbols, all
// references resolved at once).
class CodecLib {
 public:
  explicit CodecLib(const std::string& name) {
    path_ = std::string(TAVELO_CODEC_DIR) + "/" + name + ".so";
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) ADD_FAILURE() << "cannot load " << path_ << ": " << dlerror();
  }
  ~CodecLib() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  CodecLib(const CodecLib&) = delete;
  CodecLib& operator=(const CodecLib&) = delete;

  const std::string& Path() const { return path_; }
  void* Raw(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }
  template <class Fn>
  Fn Get(const char* name) const {
    void* p = Raw(name);
    if (p == nullptr) ADD_FAILURE() << path_ << " lacks " << name;
    return reinterpret_cast<Fn>(p);
  }

 private:
  std::string path_;
  void* handle_ = nullptr;
};

}  // namespace tavelo::test
