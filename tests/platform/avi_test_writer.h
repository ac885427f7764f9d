// A small AVI writer of our own for the tests: the layouts no tool here writes on demand (MS-RLE
// frames, bottom-up rows, OpenDML files split into AVIX extensions, files with only an idx1
// index or none). FFmpeg reads what it writes, which the tests use to check the writer itself.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tavelo::test {

constexpr uint32_t TestFcc(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) | (static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24);
}

struct TestAviStream {
  uint32_t Type = TestFcc("vids");
  uint32_t Handler = 0;
  std::vector<uint8_t> Format;  // strf: BITMAPINFOHEADER (+ colour table) or WAVEFORMATEX
  uint32_t Scale = 1;
  uint32_t Rate = 25;
  uint32_t SampleSize = 0;
  std::vector<std::vector<uint8_t>> Chunks;
  std::vector<bool> Keys;  // per chunk; missing entries are key frames
};

enum class TestAviIndex { Idx1, OpenDml, OpenDmlAndIdx1, None };

namespace detail {
inline void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void Put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
inline void Patch32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void Patch64(std::string& s, size_t at, uint64_t v) {
  Patch32(s, at, static_cast<uint32_t>(v));
  Patch32(s, at + 4, static_cast<uint32_t>(v >> 32));
}
// Starts a chunk (or a LIST/RIFF with its type); returns where its size goes.
inline size_t Begin(std::string& s, uint32_t id, uint32_t listType = 0) {
  Put32(s, id);
  const size_t at = s.size();
  Put32(s, 0);
  if (listType != 0) Put32(s, listType);
  return at;
}
inline void End(std::string& s, size_t sizeAt) {
  Patch32(s, sizeAt, static_cast<uint32_t>(s.size() - sizeAt - 4));
  if (s.size() & 1) s += '\0';
}
inline uint32_t ChunkId(size_t stream, uint32_t type, bool rawVideo) {
  const char d0 = static_cast<char>('0' + stream / 10), d1 = static_cast<char>('0' + stream % 10);
  const char* kind = type == TestFcc("auds") ? "wb" : rawVideo ? "db" : "dc";
  const char id[5] = {d0, d1, kind[0], kind[1], 0};
  return TestFcc(id);
}
}  // namespace detail

// The file's bytes. chunksPerRiff > 0 puts that many chunk rows (one chunk of each stream) in
// each RIFF segment: the first in "RIFF AVI ", the rest in "RIFF AVIX" extensions (OpenDML only).
inline std::string WriteTestAvi(const std::vector<TestAviStream>& streams, TestAviIndex index,
                                size_t chunksPerRiff = 0, uint32_t microSecPerFrame = 40000) {
  using namespace detail;
  const bool odml = index == TestAviIndex::OpenDml || index == TestAviIndex::OpenDmlAndIdx1;
  const bool idx1 = index == TestAviIndex::Idx1 || index == TestAviIndex::OpenDmlAndIdx1;
  size_t rows = 0;
  for (const auto& st : streams) rows = std::max(rows, st.Chunks.size());
  if (chunksPerRiff == 0 || !odml) chunksPerRiff = rows == 0 ? 1 : rows;
  const size_t segments = rows == 0 ? 1 : (rows + chunksPerRiff - 1) / chunksPerRiff;
  auto isRaw = [](const TestAviStream& st) {
    return st.Type == TestFcc("vids") && st.Format.size() >= 20 && st.Format[16] == 0 && st.Format[17] == 0 &&
           st.Format[18] == 0 && st.Format[19] == 0;
  };

  std::string s;
  const size_t riff = Begin(s, TestFcc("RIFF"), TestFcc("AVI "));
  const size_t hdrl = Begin(s, TestFcc("LIST"), TestFcc("hdrl"));
  const size_t avih = Begin(s, TestFcc("avih"));
  uint32_t width = 0, height = 0, frames = 0;
  for (const auto& st : streams)
    if (st.Type == TestFcc("vids") && st.Format.size() >= 12) {
      std::memcpy(&width, &st.Format[4], 4);
      int32_t h;
      std::memcpy(&h, &st.Format[8], 4);
      height = static_cast<uint32_t>(h < 0 ? -h : h);
      frames = static_cast<uint32_t>(st.Chunks.size());
      break;
    }
  for (uint32_t v : {microSecPerFrame, 0u, 0u, 0x10u /*HASINDEX*/, segments > 1 ? 0u : frames, 0u,
                     static_cast<uint32_t>(streams.size()), 0u, width, height, 0u, 0u, 0u, 0u})
    Put32(s, v);
  End(s, avih);
  std::vector<size_t> indxAt(streams.size(), 0);
  for (size_t i = 0; i < streams.size(); ++i) {
    const auto& st = streams[i];
    const size_t strl = Begin(s, TestFcc("LIST"), TestFcc("strl"));
    const size_t strh = Begin(s, TestFcc("strh"));
    Put32(s, st.Type);
    Put32(s, st.Handler);
    Put32(s, 0);
    Put16(s, 0);
    Put16(s, 0);
    Put32(s, 0);
    Put32(s, st.Scale);
    Put32(s, st.Rate);
    Put32(s, 0);
    uint64_t length = st.Chunks.size();
    if (st.SampleSize > 0) {
      length = 0;
      for (const auto& c : st.Chunks) length += c.size();
      length /= st.SampleSize;
    }
    Put32(s, static_cast<uint32_t>(length));
    Put32(s, 0);
    Put32(s, 0xFFFFFFFFu);
    Put32(s, st.SampleSize);
    for (int k = 0; k < 4; ++k) Put16(s, 0);
    End(s, strh);
    const size_t strf = Begin(s, TestFcc("strf"));
    s.append(reinterpret_cast<const char*>(st.Format.data()), st.Format.size());
    End(s, strf);
    if (odml) {
      const size_t indx = Begin(s, TestFcc("indx"));
      indxAt[i] = s.size();
      Put16(s, 4);
      s += '\0';
      s += '\0';  // super index
      Put32(s, static_cast<uint32_t>(segments));
      Put32(s, ChunkId(i, st.Type, isRaw(st)));
      Put32(s, 0);
      Put32(s, 0);
      Put32(s, 0);
      s.append(16 * segments, '\0');
      End(s, indx);
    }
    End(s, strl);
  }
  if (odml) {
    const size_t list = Begin(s, TestFcc("LIST"), TestFcc("odml"));
    const size_t dmlh = Begin(s, TestFcc("dmlh"));
    Put32(s, frames);
    s.append(244, '\0');
    End(s, dmlh);
    End(s, list);
  }
  End(s, hdrl);

  struct Idx1Entry {
    uint32_t id, flags, offset, size;
  };
  std::vector<Idx1Entry> idx1Entries;
  size_t riffAt = riff;
  for (size_t seg = 0; seg < segments; ++seg) {
    if (seg > 0) riffAt = Begin(s, TestFcc("RIFF"), TestFcc("AVIX"));
    const size_t movi = Begin(s, TestFcc("LIST"), TestFcc("movi"));
    const size_t moviTag = movi + 4;  // the "movi" tag, where idx1 offsets count from
    const size_t first = seg * chunksPerRiff, last = std::min(rows, first + chunksPerRiff);
    std::vector<std::vector<std::pair<uint64_t, uint32_t>>> placed(streams.size());
    for (size_t r = first; r < last; ++r) {
      for (size_t i = 0; i < streams.size(); ++i) {
        const auto& st = streams[i];
        if (r >= st.Chunks.size()) continue;
        const uint32_t id = ChunkId(i, st.Type, isRaw(st));
        const bool key = r >= st.Keys.size() || st.Keys[r];
        const size_t headerAt = s.size();
        const size_t c = Begin(s, id);
        s.append(reinterpret_cast<const char*>(st.Chunks[r].data()), st.Chunks[r].size());
        End(s, c);
        placed[i].push_back({headerAt + 8, static_cast<uint32_t>(st.Chunks[r].size()) | (key ? 0u : 0x80000000u)});
        if (seg == 0)
          idx1Entries.push_back(
              {id, key ? 0x10u : 0u, static_cast<uint32_t>(headerAt - moviTag), static_cast<uint32_t>(st.Chunks[r].size())});
      }
    }
    if (odml) {
      for (size_t i = 0; i < streams.size(); ++i) {
        const size_t ixAt = s.size();
        const char ixName[5] = {'i', 'x', static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10), 0};
        const size_t ix = Begin(s, TestFcc(ixName));
        const uint64_t base = placed[i].empty() ? 0 : placed[i].front().first;
        Put16(s, 2);
        s += '\0';
        s += '\1';  // index of chunks
        Put32(s, static_cast<uint32_t>(placed[i].size()));
        Put32(s, ChunkId(i, streams[i].Type, isRaw(streams[i])));
        s.append(8, '\0');
        Patch64(s, s.size() - 8, base);
        Put32(s, 0);
        for (const auto& [offset, size] : placed[i]) {
          Put32(s, static_cast<uint32_t>(offset - base));
          Put32(s, size);
        }
        End(s, ix);
        const size_t e = indxAt[i] + 24 + 16 * seg;
        Patch64(s, e, ixAt);
        Patch32(s, e + 8, static_cast<uint32_t>(s.size() - ixAt));
        Patch32(s, e + 12, static_cast<uint32_t>(placed[i].size()));
      }
    }
    End(s, movi);
    if (seg == 0 && idx1) {
      const size_t c = Begin(s, TestFcc("idx1"));
      for (const auto& e : idx1Entries) {
        Put32(s, e.id);
        Put32(s, e.flags);
        Put32(s, e.offset);
        Put32(s, e.size);
      }
      End(s, c);
    }
    End(s, riffAt);
  }
  return s;
}

// A BITMAPINFOHEADER (and, for 8 bits, a 256-entry colour table of palette's B, G, R triples).
inline std::vector<uint8_t> TestBitmapFormat(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                                             const std::vector<uint8_t>& paletteBgr = {}) {
  std::string s;
  detail::Put32(s, 40);
  detail::Put32(s, static_cast<uint32_t>(width));
  detail::Put32(s, static_cast<uint32_t>(height));
  detail::Put16(s, 1);
  detail::Put16(s, bits);
  detail::Put32(s, compression);
  detail::Put32(s, 0);
  detail::Put32(s, 0);
  detail::Put32(s, 0);
  detail::Put32(s, paletteBgr.empty() ? 0 : 256);
  detail::Put32(s, 0);
  for (size_t i = 0; i + 2 < paletteBgr.size() && i < 768; i += 3) {
    s += static_cast<char>(paletteBgr[i]);
    s += static_cast<char>(paletteBgr[i + 1]);
    s += static_cast<char>(paletteBgr[i + 2]);
    s += '\0';
  }
  return std::vector<uint8_t>(s.begin(), s.end());
}

// MS-RLE (RLE8) of an 8-bit picture (rows top-down, width bytes each). With previous, pixels
// that did not change are skipped (delta codes and early line ends), as inter frames do.
inline std::vector<uint8_t> EncodeMsRle8(const std::vector<uint8_t>& pixels, int width, int height,
                                         const std::vector<uint8_t>* previous = nullptr) {
  std::vector<uint8_t> out;
  for (int row = height - 1; row >= 0; --row) {  // bottom-up
    const uint8_t* p = &pixels[static_cast<size_t>(row) * width];
    const uint8_t* q = previous ? &(*previous)[static_cast<size_t>(row) * width] : nullptr;
    int x = 0;
    if (q) {
      if (std::memcmp(p, q, static_cast<size_t>(width)) == 0) {
        if (row > 0) {
          out.push_back(0);
          out.push_back(0);  // end of line: the row stays as it was
        }
        continue;
      }
      while (x < width && p[x] == q[x]) ++x;
      if (x > 0) {
        const int skip = std::min(x, 255);
        out.insert(out.end(), {0, 2, static_cast<uint8_t>(skip), 0});
        x = skip;
      }
    }
    while (x < width) {
      int run = 1;
      while (x + run < width && run < 255 && p[x + run] == p[x]) ++run;
      if (run >= 2) {
        out.push_back(static_cast<uint8_t>(run));
        out.push_back(p[x]);
        x += run;
        continue;
      }
      // A literal stretch up to the next pair of equal pixels.
      int lit = 1;
      while (x + lit < width && lit < 255 && !(x + lit + 1 < width && p[x + lit] == p[x + lit + 1])) ++lit;
      if (lit < 3) {
        for (int i = 0; i < lit; ++i) {
          out.push_back(1);
          out.push_back(p[x + i]);
        }
      } else {
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(lit));
        out.insert(out.end(), p + x, p + x + lit);
        if (lit & 1) out.push_back(0);
      }
      x += lit;
    }
    if (row > 0) {
      out.push_back(0);
      out.push_back(0);
    }
  }
  out.push_back(0);
  out.push_back(1);  // end of picture
  return out;
}

// 8-bit pictures with a moving bar over a diagonal pattern; a palette of 256 colours.
struct IndexedMovie {
  int width = 64, height = 48;
  std::vector<uint8_t> paletteBgr;
  std::vector<std::vector<uint8_t>> frames;
  IndexedMovie() {
    for (int i = 0; i < 256; ++i)
      paletteBgr.insert(paletteBgr.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)});
    for (int n = 0; n < 20; ++n) {
      std::vector<uint8_t> f(static_cast<size_t>(width) * height);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          uint8_t v = static_cast<uint8_t>((x / 8 + y / 8) % 4 * 16 + (x * y) % 3);
          if (x >= 2 * n && x < 2 * n + 10 && y > 10 && y < 30) v = static_cast<uint8_t>(200 + n);
          f[static_cast<size_t>(y) * width + x] = v;
        }
      frames.push_back(std::move(f));
    }
  }
  std::vector<uint8_t> Bgr(size_t n) const {
    std::vector<uint8_t> out;
    for (uint8_t v : frames[n]) out.insert(out.end(), &paletteBgr[3 * v], &paletteBgr[3 * v] + 3);
    return out;
  }
};

inline std::string MsRleFile(const IndexedMovie& m, TestAviIndex index) {
  TestAviStream v;
  v.Handler = TestFcc("mrle");
  v.Format = TestBitmapFormat(m.width, m.height, 8, 1 /*BI_RLE8*/, m.paletteBgr);
  v.Scale = 1;
  v.Rate = 10;
  for (size_t n = 0; n < m.frames.size(); ++n) {
    const bool key = n % 5 == 0;
    v.Chunks.push_back(EncodeMsRle8(m.frames[n], m.width, m.height, key ? nullptr : &m.frames[n - 1]));
    v.Keys.push_back(key);
  }
  return WriteTestAvi({v}, index);
}

}  // namespace tavelo::test
