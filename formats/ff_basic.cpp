#include "formats/ff_basic.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <vector>

#include "base/posix_files.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/trace.h"
#include "formats/ff_unit.h"

namespace tavelo {

namespace {

constexpr int32_t kMaxInt = 0x7FFFFFFF;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

struct FilterEntry {
  std::string Name;
  std::string Text;  // name + "|" + patterns
};

// Inserts before the first entry whose name is greater, so equal names keep table order.
void InsertSorted(std::vector<FilterEntry>& list, FilterEntry entry) {
  auto it = list.begin();
  while (it != list.end() && !(entry.Name < it->Name)) ++it;
  list.insert(it, std::move(entry));
}

// The entries and the joined patterns of the rows that a filter lists.
void CollectRows(const FFFormatRec* rows, int count, uint32_t kindsMask, int32_t options,
                 std::vector<FilterEntry>& entries, std::string& patternsJoined) {
  for (int i = 0; i < count; ++i) {
    const FFFormatRec& row = rows[i];
    if (row.FormatId < 1) continue;
    if (kindsMask != 0 && (row.Kinds & kindsMask) == 0) continue;
    std::string patterns, display;
    FFConvExt_(row.Extensions, patterns, display);
    std::string name = (options & ffoDescription) != 0 ? row.Description : row.ShortName;
    if ((options & ffoShowExts) != 0) name += " (" + display + ")";
    patternsJoined += patterns + ";";
    FilterEntry e;
    e.Text = name + "|" + patterns;
    e.Name = std::move(name);
    InsertSorted(entries, std::move(e));
  }
  // The final ";" goes; a filter that lists nothing has none to lose.
  if (!patternsJoined.empty() && patternsJoined.back() == ';') patternsJoined.pop_back();
}

std::string JoinEntries(const std::vector<FilterEntry>& entries) {
  std::string out;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) out += "|";
    out += entries[i].Text;
  }
  return out;
}

// Save depth table: FormatId, then the depth for 8, 15, 16, 24, 32 and any other depth.
const int32_t kSaveDepths[23][7] = {
    {6, 8, 15, 24, 24, 32, 24},  {3, 8, 15, 24, 24, 32, 24},  {5, 8, 8, 8, 8, 8, 8},
    {7, 8, 16, 16, 24, 32, 24},  {23, 24, 24, 24, 24, 24, 24}, {8, 24, 24, 24, 24, 24, 24},
    {2, 8, 24, 24, 24, 24, 24},  {9, 8, 24, 24, 24, 32, 24},  {1, 8, 15, 24, 24, 32, 24},
    {11, 24, 24, 24, 24, 24, 24}, {12, 0, 0, 0, 0, 0, 0},     {13, 24, 24, 24, 24, 32, 24},
    {14, 8, 24, 24, 24, 32, 24}, {15, 24, 24, 24, 24, 24, 24}, {10, 8, 24, 24, 24, 32, 24},
    {17, 24, 24, 24, 24, 24, 24}, {4, 8, 8, 8, 8, 8, 8},       {18, 0, 0, 0, 0, 0, 0},
    {19, 0, 0, 0, 0, 0, 0},      {27, 24, 24, 24, 24, 24, 24}, {21, 0, 0, 0, 0, 0, 0},
    {26, 0, 0, 0, 0, 0, 0},      {25, 24, 24, 24, 24, 24, 24},
};

// truncate(x + 0.4999) in extended precision, saturating at the int32 maximum.
int32_t TruncHalfDown(long double product) {
  const long double sum = product + 0.4999L;
  if (!(sum < 2147483648.0L)) return kMaxInt;  // also infinity
  const int64_t t = FpuTrunc(sum);
  if (t < 0) return 0;
  return static_cast<int32_t>(t);
}

}  // namespace

int64_t FFIntPart(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return kMaxInt;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int64_t>(v);
}

void FFConvExt_(const std::string& exts, std::string& patterns, std::string& display) {
  patterns.clear();
  size_t pos = exts.find('.');
  while (pos != std::string::npos) {
    const size_t next = exts.find('.', pos + 1);
    const std::string ext = exts.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
    patterns += "*." + ext + ";";
    pos = next;
  }
  if (!patterns.empty()) patterns.pop_back();
  display = exts;
  for (char& c : display)
    if (c == '.') c = ',';
  if (!display.empty()) display.erase(0, 1);
}

void FFMakeLoadFilter(uint32_t kindsMask, int32_t options, std::string& allPart, std::string& formatsPart) {
  allPart = (options & ffoAllFiles) != 0 ? "All Files (*.*)|*.*|" : "";
  if ((kindsMask & fkHasPictures) != 0)
    allPart += "All Video Formats|";
  else if ((kindsMask & fkMovie) != 0)
    allPart += "All Movies|";
  else if ((kindsMask & fkHasSound) != 0)
    allPart += "All Audio Formats|";
  else if ((kindsMask & fkSound) != 0)
    allPart += "All Sounds|";
  else if ((kindsMask & fkStill) != 0)
    allPart += "All Images|";
  else
    allPart += "All Supported Formats|";
  std::vector<FilterEntry> entries;
  std::string patterns;
  CollectRows(FFLoadFormats, kLoadFormatCount, kindsMask, options, entries, patterns);
  allPart += patterns;
  formatsPart = JoinEntries(entries);
}

void FFMakeSaveFilter(uint32_t kindsMask, int32_t options, std::string& filter) {
  FFBeforeWriteTable();
  std::string out = (options & ffoAllFiles) != 0 ? filter + "All Files (*.*)|*.*|" : "";
  out += "All Supported Formats|";
  std::vector<FilterEntry> entries;
  std::string patterns;
  CollectRows(FFSaveFormats, kSaveFormatCount, kindsMask, options, entries, patterns);
  out += patterns + "|" + JoinEntries(entries);
  filter = out;
}

std::string FFFileExt_(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  const size_t slash = fileName.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  return fileName.substr(dot);
}

void FFFindFormatByExt_(const std::string& fileName, const FFFormatRec* readTable, int32_t readCount,
                        const FFFormatRec* writeTable, int32_t writeCount, int32_t which, FFFormatRec& rec) {
  rec = FFFormatRec();
  rec.FormatId = kNoFormat;
  std::string ext = FFFileExt_(fileName);
  for (char& c : ext) c = LowerAscii(c);
  // A bare "." is no extension either.
  if (ext.size() < 2) return;
  const FFFormatRec* rows = which == ffWrite ? writeTable : readTable;
  const int32_t count = which == ffWrite ? writeCount : readCount;
  const std::string key = ext + ".";
  for (int32_t i = 0; i < count; ++i) {
    if (rows[i].FormatId < 1) continue;
    if ((rows[i].Extensions + ".").find(key) != std::string::npos) {
      rec = rows[i];
      return;
    }
  }
}

void FFGetFormat(const std::string& fileName, FFFormatRec& rec, int32_t which) {
  if (which == ffWrite) FFBeforeWriteTable();
  FFFindFormatByExt_(fileName, FFLoadFormats, kLoadFormatCount, FFSaveFormats, kSaveFormatCount, which, rec);
}

int32_t FFGetFormatId(const std::string& fileName, int32_t which) {
  FFFormatRec rec;
  FFGetFormat(fileName, rec, which);
  return rec.FormatId;
}

bool FFCanSave(int32_t formatId) {
  FFFormatRec rec;
  return FFGetFormatById(rec, formatId, ffWrite);
}

int32_t FFSaveDepthRow_(int32_t formatId) {
  for (int32_t i = 0; i < 23; ++i)
    if (kSaveDepths[i][0] == formatId) return i;
  return kNoFormat;
}

int32_t FFSaveDepth(int32_t formatId, int32_t bpp) {
  FFBeforeWriteTable();
  const int32_t row = FFSaveDepthRow_(formatId);
  if (row == kNoFormat) return kNoFormat;
  int col = 6;
  switch (bpp) {
    case 8: col = 1; break;
    case 15: col = 2; break;
    case 16: col = 3; break;
    case 24: col = 4; break;
    case 32: col = 5; break;
    default: break;
  }
  return kSaveDepths[row][col];
}

namespace {

// The nearest multiple of block, but never less than one block: a picture smaller than half a
// block is still written, at one block.
int32_t RoundToBlock(int32_t side, int32_t block) {
  const int64_t n = (static_cast<int64_t>(side) + block / 2) / block * block;
  return static_cast<int32_t>(n < block ? block : (n > 0x7FFFFFFF ? n - block : n));
}

}  // namespace

void FFInit(int32_t formatId, FFSavePrep& prep, const Qimg& img, int32_t block) {
  TraceScope trace("FFBasic.FFInit");
  ClearError();
  FFFree(prep);
  if (!ImgAssigned(img)) SetError(ecMovie2, 1, __LINE__);
  if (block < 1) block = 1;
  // The operations take their source by reference; none of them changes it.
  Qimg& src = const_cast<Qimg&>(img);
  const Qimg* current = &img;
  if (img.Width % block != 0 || img.Height % block != 0) {
    _imgalloc_(prep.Temp, RoundToBlock(img.Width, block), RoundToBlock(img.Height, block), img.Bpp, __LINE__,
               "FFBasic.FFInit.ffi.temp_img");
    FillMem(prep.Temp.Data, prep.Temp.Size, 0);
    ImgInsert(src, prep.Temp, 0, 0);
    ImgCopyPalette(img, prep.Temp);
    prep.Temp.XRes = img.XRes;
    prep.Temp.YRes = img.YRes;
    prep.Owned = -1;
    current = &prep.Temp;
  }
  const int32_t depth = FFSaveDepth(formatId, img.Bpp);
  if (depth == kNoFormat) SetError(ecMovie2, 1, __LINE__);
  if (depth != img.Bpp) {
    ImgConvBpp(const_cast<Qimg&>(*current), prep.Temp, depth);
    prep.Temp.XRes = img.XRes;
    prep.Temp.YRes = img.YRes;
    prep.Owned = -1;
    current = &prep.Temp;
  }
  prep.Picture = current;
}

void FFFree(FFSavePrep& prep) {
  if (prep.Owned != 0) ImgFree(prep.Temp);
  prep.Owned = 0;
  prep.Picture = nullptr;
}

void FFVideoInit(FFVideoOpts& opts, int32_t formatId) {
  FFVideoFree(opts);
  opts.FormatId = formatId;
  // A format without defaults of its own has no valid options.
  const FFUnit* unit = FFUnitById(formatId);
  const bool valid = unit != nullptr && unit->SaveDefaults != nullptr;
  if (valid) unit->SaveDefaults(opts);
  opts.Valid = valid ? -1 : 0;
  FFVideoGetCodecName(opts, opts.CodecName);
}

void FFVideoFree(FFVideoOpts& opts) {
  MemFree(opts.Data);
  opts.Data = nullptr;
  opts.FormatId = 0;
  opts.Codec = 0;
  opts.Quality = 0;
  opts.XRes = 0;
  opts.YRes = 0;
  opts.Valid = 0;
  opts.CodecName.clear();
}

void FFAudioFree(FFAudioOpts& opts) {
  MemFree(opts.Data);
  opts.Data = nullptr;
}

void FFVideoGetCodecName(const FFVideoOpts& opts, std::string& name) {
  std::string out = "N/A";
  const FFUnit* unit = FFUnitById(opts.FormatId);
  if (unit != nullptr && unit->CodecName != nullptr) unit->CodecName(opts, out);
  name = CutUtf8(out, 255);
}

double FFFramesToSeconds(int32_t count, double rate) {
  if (count > 0 && rate > 0) return count / rate;
  return 0;
}

namespace {
constexpr int64_t kMaxPictureBytes = 2000000000;
std::atomic<int32_t> g_pictureSideLimit{0};
}  // namespace

bool FFPictureFits(int64_t width, int64_t height, int64_t bytesPP) {
  if (width < 0 || height < 0 || bytesPP < 0) return false;
  const int32_t side = g_pictureSideLimit.load(std::memory_order_relaxed);
  if (side > 0 && (width > side || height > side)) return false;
  if (width == 0 || height == 0 || bytesPP == 0) return true;
  // Divisions instead of the product: sides from 32-bit fields would overflow it.
  if (width > kMaxPictureBytes / height) return false;
  return width * height <= kMaxPictureBytes / bytesPP;
}

void FFSetPictureSideLimitForTest(int32_t maxSide) {
  g_pictureSideLimit.store(maxSide > 0 ? maxSide : 0, std::memory_order_relaxed);
}

int32_t FFMulPositive(int32_t a, int32_t b) {
  if (a < 1 || b <= 0) return 0;
  const int64_t p = static_cast<int64_t>(a) * b;
  return p > kMaxInt ? kMaxInt : static_cast<int32_t>(p);
}

int32_t FFRoundProduct(double a, double b) {
  if (!(a > 0) || !(b > 0)) return 0;
  return TruncHalfDown(static_cast<long double>(a) * b);
}

int32_t FFRoundProduct3(int32_t n, double a, double b) {
  if (!(a > 0) || !(b > 0) || n < 1) return 0;
  return TruncHalfDown(static_cast<long double>(a) * b * n);
}

std::string FFSaveTempName_(const std::string& target) {
  static std::atomic<uint32_t> serial{0};
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  // Cut so that the temporary name stays within the file system's name limit.
  const std::string name = (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 200);
  // Hidden, and named after the target so a left-over file (a crash mid-save) explains itself.
  return folder + "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".tmp";
}

void FFSaveCommit_(const std::string& temp, const std::string& target) {
  // On disk before it takes the target's name: a crash or power loss after the rename must find
  // the new file whole, not an empty one where the good old file was. A disk that fills up only
  // when the data are written out reports it here.
  if (!posix::SyncFile(temp)) SetError(ecFile, 4, __LINE__);
  FRename(temp, target);
  posix::SyncFolder(posix::FolderOf(target));  // the new name too
}

void FFSaveDiscard_(const std::string& temp) { std::remove(temp.c_str()); }

void FourCCToStr(uint32_t code, std::string& s) {
  s.assign(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
}

bool FourCCSame(uint32_t a, uint32_t b) {
  for (int i = 0; i < 4; ++i) {
    const char ca = UpperAscii(static_cast<char>((a >> (8 * i)) & 0xFF));
    const char cb = UpperAscii(static_cast<char>((b >> (8 * i)) & 0xFF));
    if (ca != cb) return false;
  }
  return true;
}

}  // namespace tavelo
