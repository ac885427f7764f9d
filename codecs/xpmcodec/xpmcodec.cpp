// The XPM codec library: our own reader and writer of X PixMap (XPM 3) pictures.
//
// Reading takes the C array of strings as written by the usual tools: the values line (width,
// height, colours, characters per pixel), one line per colour and one per pixel row. Colours are
// taken from the colour visual ("c"), else the grey ones ("g", "g4"), else the mono one ("m");
// they are "#" and 3, 6, 9 or 12 hex digits (the top 8 bits of each component are kept, as X11
// reads them), an X11 colour name, or "None", which has no colour and reads as black. Anything
// the reader does not understand makes the whole read fail; it never guesses.
//
// Writing puts every distinct colour as "#RRGGBB" with as few characters per pixel as the count
// of colours needs.
#include "codecs/xpmcodec/xpmcodec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/xpmcodec/xpm_color_names.h"

#define XPM_EXPORT extern "C" __attribute__((visibility("default")))

namespace tavelo::xpm {
namespace {

constexpr int32_t kMaxCharsPerPixel = 8;

bool ReadWholeFile(const char* name, std::string& out) {
  FILE* f = std::fopen(name, "rb");
  if (f == nullptr) return false;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f) : -1;
  ok = ok && size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    out.resize(static_cast<size_t>(size));
    ok = size == 0 || std::fread(out.data(), 1, out.size(), f) == out.size();
  }
  std::fclose(f);
  return ok;
}

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Walks the string literals of the picture's array one by one. The text must begin with the
// "/* XPM */" comment and hold nothing but strings, commas and comments between its braces.
class StringScanner {
 public:
  explicit StringScanner(const std::string& text) : text_(text) {}

  // Finds the array's opening brace; false when the text is not an XPM 3 array.
  bool Start() {
    size_t i = 0;
    const size_t n = text_.size();
    while (i < n && IsSpace(text_[i])) ++i;
    if (text_.compare(i, 2, "/*") != 0) return false;
    const size_t headerEnd = text_.find("*/", i + 2);
    if (headerEnd == std::string::npos) return false;
    if (std::string_view(text_.data() + i + 2, headerEnd - i - 2).find("XPM") == std::string_view::npos) return false;
    pos_ = text_.find('{', headerEnd);
    if (pos_ == std::string::npos) return false;
    ++pos_;
    return true;
  }

  // The next string; false at the closing brace (then Closed) or at anything else.
  bool Next(std::string_view& out) {
    const size_t n = text_.size();
    const char* base = text_.data();
    while (pos_ < n) {
      const char c = base[pos_];
      if (IsSpace(c) || c == ',') {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < n && base[pos_ + 1] == '*') {
        const size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string::npos) break;
        pos_ = end + 2;
      } else if (c == '"') {
        const size_t start = pos_ + 1;
        const void* quote = std::memchr(base + start, '"', n - start);
        if (quote == nullptr) break;
        const size_t end = static_cast<size_t>(static_cast<const char*>(quote) - base);
        if (std::memchr(base + start, '\n', end - start) != nullptr) break;
        out = std::string_view(base + start, end - start);
        pos_ = end + 1;
        return true;
      } else {
        closed_ = c == '}';
        break;
      }
    }
    return false;
  }

  bool Closed() const { return closed_; }
  // Bytes not yet walked.
  size_t Left() const { return pos_ < text_.size() ? text_.size() - pos_ : 0; }

 private:
  const std::string& text_;
  size_t pos_ = 0;
  bool closed_ = false;
};

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsSpace(s[i])) ++i;
    const size_t start = i;
    while (i < s.size() && !IsSpace(s[i])) ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

// A decimal number up to 2147483647; -1 for anything else.
int64_t Number(std::string_view s) {
  if (s.empty() || s.size() > 10) return -1;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v > 0x7FFFFFFF ? -1 : v;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A colour text (name or #hex) to 0xRRGGBB; false when it cannot be read.
bool ParseColor(const std::string& spec, uint32_t& rgb) {
  std::string lower;
  for (char c : spec)
    if (!IsSpace(c)) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower == "none") {
    rgb = 0;
    return true;
  }
  if (!lower.empty() && lower[0] == '#') {
    const size_t digits = lower.size() - 1;
    if (digits == 0 || digits % 3 != 0 || digits > 12) return false;
    const size_t per = digits / 3;
    rgb = 0;
    for (size_t k = 0; k < 3; ++k) {
      uint32_t v = 0;
      for (size_t d = 0; d < per; ++d) {
        const int h = Hex(lower[1 + k * per + d]);
        if (h < 0) return false;
        v = v * 16 + static_cast<uint32_t>(h);
      }
      // The top 8 bits of a component of per x 4 bits.
      const int bits = static_cast<int>(per) * 4;
      v = bits >= 8 ? v >> (bits - 8) : v << (8 - bits);
      rgb = (rgb << 8) | v;
    }
    return true;
  }
  const auto* first = std::begin(kColorNames);
  const auto* last = std::end(kColorNames);
  const auto* it = std::lower_bound(first, last, lower,
                                    [](const ColorName& e, const std::string& key) { return key.compare(e.Name) > 0; });
  if (it == last || lower != it->Name) return false;
  rgb = it->Rgb;
  return true;
}

bool IsVisualKey(std::string_view w) { return w == "c" || w == "m" || w == "s" || w == "g" || w == "g4"; }

// The common form " c #RRGGBB", read without building any text.
bool ParsePlainHexLine(std::string_view rest, uint32_t& rgb) {
  size_t i = 0;
  while (i < rest.size() && IsSpace(rest[i])) ++i;
  if (i == 0 || i + 1 >= rest.size() || rest[i] != 'c' || !IsSpace(rest[i + 1])) return false;
  i += 2;
  while (i < rest.size() && IsSpace(rest[i])) ++i;
  if (i + 7 > rest.size() || rest[i] != '#') return false;
  uint32_t v = 0;
  for (size_t k = 1; k <= 6; ++k) {
    const int h = Hex(rest[i + k]);
    if (h < 0) return false;
    v = v * 16 + static_cast<uint32_t>(h);
  }
  for (size_t k = i + 7; k < rest.size(); ++k)
    if (!IsSpace(rest[k])) return false;
  rgb = v;
  return true;
}

// The colour of one colour line (after its key characters).
bool ParseColorLine(std::string_view rest, uint32_t& rgb) {
  if (ParsePlainHexLine(rest, rgb)) return true;
  std::string values[5];  // c, g, g4, m, s
  auto slot = [](std::string_view key) {
    if (key == "c") return 0;
    if (key == "g") return 1;
    if (key == "g4") return 2;
    if (key == "m") return 3;
    return 4;
  };
  int current = -1;
  bool expectValue = false;
  for (std::string_view w : Words(rest)) {
    if (!expectValue && IsVisualKey(w)) {
      current = slot(w);
      values[current].clear();
      expectValue = true;
      continue;
    }
    if (current < 0) return false;
    if (!values[current].empty()) values[current] += ' ';
    values[current] += std::string(w);
    expectValue = false;
  }
  if (expectValue) return false;
  for (int k = 0; k < 4; ++k)
    if (!values[k].empty()) return ParseColor(values[k], rgb);
  return false;
}

uint64_t KeyOf(const char* p, int32_t cpp) {
  uint64_t k = 0;
  for (int32_t i = 0; i < cpp; ++i) k = (k << 8) | static_cast<uint8_t>(p[i]);
  return k;
}

// Finds the colour index of a pixel's characters: a direct table for one and two characters,
// an open-addressing hash of the packed characters for more (pictures of many colours).
struct KeyTable {
  int32_t Cpp = 1;
  std::vector<int32_t> Direct;  // cpp 1 and 2: indexed by the key itself
  std::vector<uint64_t> Keys;   // cpp 3 to 8: packed keys (0 marks a free slot; keys are never 0)
  std::vector<int32_t> Values;
  uint64_t Mask = 0;

  KeyTable(int32_t cpp, int64_t colors) : Cpp(cpp) {
    if (cpp <= 2) {
      Direct.assign(cpp == 1 ? 256 : 65536, -1);
      return;
    }
    uint64_t size = 16;
    while (size < static_cast<uint64_t>(colors) * 2) size *= 2;
    Keys.assign(size, 0);
    Values.assign(size, -1);
    Mask = size - 1;
  }
  // Packed with a leading 1 bit, so that no key is 0 whatever its characters.
  uint64_t Pack(const char* p) const {
    uint64_t k = 1;
    for (int32_t i = 0; i < Cpp; ++i) k = (k << 8) | static_cast<uint8_t>(p[i]);
    return k;
  }
  static uint64_t Slot(uint64_t k) { return (k * 0x9E3779B97F4A7C15ull) >> 20; }
  // False for a key defined twice.
  bool Add(const char* p, int32_t index) {
    if (Cpp <= 2) {
      const uint64_t k = KeyOf(p, Cpp);
      if (Direct[k] >= 0) return false;
      Direct[k] = index;
      return true;
    }
    const uint64_t k = Pack(p);
    for (uint64_t i = Slot(k) & Mask;; i = (i + 1) & Mask) {
      if (Keys[i] == k) return false;
      if (Keys[i] == 0) {
        Keys[i] = k;
        Values[i] = index;
        return true;
      }
    }
  }
  int32_t Find(const char* p) const {
    if (Cpp <= 2) return Direct[KeyOf(p, Cpp)];
    const uint64_t k = Pack(p);
    for (uint64_t i = Slot(k) & Mask;; i = (i + 1) & Mask) {
      if (Keys[i] == k) return Values[i];
      if (Keys[i] == 0) return -1;
    }
  }
};

int32_t Read(const char* fileName, XpmPicture* pic) {
  if (fileName == nullptr || pic == nullptr) return xpmBadArgument;
  std::string text;
  if (!ReadWholeFile(fileName, text)) return xpmOpenFailed;
  StringScanner strings(text);
  std::string_view line;
  if (!strings.Start() || !strings.Next(line)) return xpmInvalid;

  const std::vector<std::string_view> values = Words(line);
  if (values.size() < 4) return xpmInvalid;
  const int64_t width = Number(values[0]), height = Number(values[1]);
  const int64_t colors = Number(values[2]), cpp = Number(values[3]);
  if (width < 1 || height < 1 || colors < 1 || cpp < 1 || cpp > kMaxCharsPerPixel) return xpmInvalid;
  // Each colour and each row takes at least its characters and two quotes: a file too short
  // for what it claims fails before any table or picture is made for it. Every factor is held
  // to the bytes left before it is multiplied, so no claim can overflow the sum.
  const int64_t left = static_cast<int64_t>(strings.Left());
  if (width > left / cpp || colors > left / (cpp + 2)) return xpmInvalid;
  const int64_t rowChars = width * cpp;
  if (height > left / (rowChars + 2) || left - colors * (cpp + 2) < height * (rowChars + 2)) return xpmInvalid;
  const int32_t cpp32 = static_cast<int32_t>(cpp);

  KeyTable keys(cpp32, colors);
  std::vector<uint32_t> palette(static_cast<size_t>(colors));
  for (int64_t i = 0; i < colors; ++i) {
    if (!strings.Next(line) || static_cast<int64_t>(line.size()) < cpp) return xpmInvalid;
    if (!keys.Add(line.data(), static_cast<int32_t>(i))) return xpmInvalid;
    if (!ParseColorLine(line.substr(static_cast<size_t>(cpp)), palette[static_cast<size_t>(i)])) return xpmInvalid;
  }

  if (pic->Data == nullptr) {
    pic->Width = static_cast<int32_t>(width);
    pic->Height = static_cast<int32_t>(height);
    pic->Colors = static_cast<int32_t>(colors);
    return xpmOk;
  }
  // The caller made its buffer for the size it was told: any other size is refused.
  if (width != pic->Width || height != pic->Height) return xpmSizeMismatch;
  uint8_t* out = pic->Data;
  for (int64_t y = 0; y < height; ++y) {
    if (!strings.Next(line) || static_cast<int64_t>(line.size()) < rowChars) return xpmInvalid;
    const char* p = line.data();
    if (cpp32 <= 2) {
      for (int64_t x = 0; x < width; ++x, p += cpp32, out += 3) {
        const int32_t index = keys.Direct[KeyOf(p, cpp32)];
        if (index < 0) return xpmInvalid;
        const uint32_t rgb = palette[static_cast<size_t>(index)];
        out[0] = static_cast<uint8_t>(rgb);
        out[1] = static_cast<uint8_t>(rgb >> 8);
        out[2] = static_cast<uint8_t>(rgb >> 16);
      }
      continue;
    }
    const char* last = nullptr;  // the pixel before, whose colour is often the same
    uint32_t rgb = 0;
    for (int64_t x = 0; x < width; ++x, p += cpp32, out += 3) {
      if (last == nullptr || std::memcmp(p, last, static_cast<size_t>(cpp32)) != 0) {
        const int32_t index = keys.Find(p);
        if (index < 0) return xpmInvalid;
        rgb = palette[static_cast<size_t>(index)];
        last = p;
      }
      out[0] = static_cast<uint8_t>(rgb);
      out[1] = static_cast<uint8_t>(rgb >> 8);
      out[2] = static_cast<uint8_t>(rgb >> 16);
    }
  }
  // The rest (extension strings) must still end in the array's closing brace: a file cut short
  // after its last row is damaged too.
  while (strings.Next(line)) {
  }
  if (!strings.Closed()) return xpmInvalid;
  pic->Colors = static_cast<int32_t>(colors);
  return xpmOk;
}

// Characters for the pixel keys: printable, without the double quote and the backslash.
constexpr char kKeyChars[] =
    " .XoO+@#$%&*=-;:>,<1234567890qwertyuipasdfghjklzxcvbnmMNBVCZASDFGHJKLPIUYTREWQ!~^/()_`'][{}|";
constexpr int32_t kKeyCharCount = sizeof(kKeyChars) - 1;

// The C name of the array: the file's base name up to its first point, as an identifier.
std::string ArrayName(const char* fileName) {
  std::string base(fileName);
  const size_t slash = base.rfind('/');
  if (slash != std::string::npos) base.erase(0, slash + 1);
  // Leading points are skipped: a writer may hand over a hidden temporary name (".name.xpm.tmp").
  base.erase(0, base.find_first_not_of('.') == std::string::npos ? base.size() : base.find_first_not_of('.'));
  const size_t dot = base.find('.');
  if (dot != std::string::npos) base.erase(dot);
  for (char& c : base)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) c = '_';
  if (base.empty() || (base[0] >= '0' && base[0] <= '9')) base = "xpm_" + base;
  return base;
}

class Output {
 public:
  explicit Output(FILE* f) : f_(f) {}
  void Put(const char* s, size_t n) {
    buf_.append(s, n);
    if (buf_.size() >= 65536) Flush();
  }
  void Put(const std::string& s) { Put(s.data(), s.size()); }
  void Flush() {
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) ok_ = false;
    buf_.clear();
  }
  bool Ok() const { return ok_; }

 private:
  FILE* f_;
  std::string buf_;
  bool ok_ = true;
};

int32_t Write(const char* fileName, const XpmPicture* pic) {
  if (fileName == nullptr || pic == nullptr || pic->Data == nullptr || pic->Width < 1 || pic->Height < 1)
    return xpmBadArgument;
  const int64_t pixels = static_cast<int64_t>(pic->Width) * pic->Height;
  const uint8_t* data = pic->Data;

  // Which of the 2^24 colours occur (one bit each), and the rank of each: its colour index.
  constexpr size_t kWords = (1u << 24) / 64;
  std::unique_ptr<uint64_t[]> used(new uint64_t[kWords]());
  for (int64_t i = 0; i < pixels; ++i) {
    const uint32_t c = data[3 * i] | (data[3 * i + 1] << 8) | (static_cast<uint32_t>(data[3 * i + 2]) << 16);
    used[c >> 6] |= uint64_t{1} << (c & 63);
  }
  std::unique_ptr<uint32_t[]> before(new uint32_t[kWords]);
  uint32_t count = 0;
  for (size_t w = 0; w < kWords; ++w) {
    before[w] = count;
    count += static_cast<uint32_t>(__builtin_popcountll(used[w]));
  }
  auto indexOf = [&](uint32_t c) {
    const uint64_t below = used[c >> 6] & ((uint64_t{1} << (c & 63)) - 1);
    return before[c >> 6] + static_cast<uint32_t>(__builtin_popcountll(below));
  };
  int32_t cpp = 1;
  for (uint64_t room = kKeyCharCount; room < count; room *= kKeyCharCount) ++cpp;
  auto keyOf = [&](uint32_t index, char* out) {
    for (int32_t k = 0; k < cpp; ++k) {
      out[k] = kKeyChars[index % kKeyCharCount];
      index /= kKeyCharCount;
    }
  };

  FILE* f = std::fopen(fileName, "wb");
  if (f == nullptr) return xpmWriteFailed;
  Output out(f);
  out.Put("/* XPM */\nstatic char *" + ArrayName(fileName) + "[] = {\n/* columns rows colors chars-per-pixel */\n\"" +
          std::to_string(pic->Width) + " " + std::to_string(pic->Height) + " " + std::to_string(count) + " " +
          std::to_string(cpp) + " \",\n");
  char key[kMaxCharsPerPixel];
  uint32_t index = 0;
  for (size_t w = 0; w < kWords; ++w) {
    for (uint64_t bits = used[w]; bits != 0; bits &= bits - 1) {
      const uint32_t c = static_cast<uint32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
      char line[32];
      keyOf(index++, key);
      out.Put("\"", 1);
      out.Put(key, static_cast<size_t>(cpp));
      const int n = std::snprintf(line, sizeof line, " c #%02X%02X%02X\",\n", (c >> 16) & 255, (c >> 8) & 255, c & 255);
      out.Put(line, static_cast<size_t>(n));
    }
  }
  out.Put("/* pixels */\n");
  const uint8_t* p = data;
  for (int32_t y = 0; y < pic->Height; ++y) {
    out.Put("\"", 1);
    for (int32_t x = 0; x < pic->Width; ++x, p += 3) {
      keyOf(indexOf(p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16)), key);
      out.Put(key, static_cast<size_t>(cpp));
    }
    out.Put(y + 1 < pic->Height ? "\",\n" : "\"\n");
  }
  out.Put("};\n");
  out.Flush();
  const bool ok = out.Ok();
  const bool closed = std::fclose(f) == 0;
  return ok && closed ? xpmOk : xpmWriteFailed;
}

}  // namespace
}  // namespace tavelo::xpm

XPM_EXPORT int32_t ReadXpm(const char* fileName, XpmPicture* picture) {
  try {
    return tavelo::xpm::Read(fileName, picture);
  } catch (const std::bad_alloc&) {
    return xpmNoMemory;
  } catch (...) {
    return xpmInvalid;
  }
}

XPM_EXPORT int32_t WriteXpm(const char* fileName, const XpmPicture* picture) {
  try {
    return tavelo::xpm::Write(fileName, picture);
  } catch (const std::bad_alloc&) {
    return xpmNoMemory;
  } catch (...) {
    return xpmWriteFailed;
  }
}
