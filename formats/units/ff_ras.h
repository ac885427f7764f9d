// Sun raster files (unit FF_RAS, format 14) of 8, 24 and 32 bits per pixel, plain or with the
// format's byte-level run-length code, read and written by our own code.
//
// The colour map is read for its full stated length (map length / 3 entries per plane) and the
// pixel data starts right after it, whatever the map's kind. An 8-bit file without a colour map
// is a grey picture. Run-length data is one stream over the padded rows, as the format defines
// it; the writer encodes each row by itself and puts the pad byte after it unencoded, which reads
// back the same way.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

constexpr uint32_t kRasMagic = 0x59A66A95;
constexpr int32_t kRasHeaderSize = 32;

struct RasHandle {
  int32_t File = 0;
  int64_t FileSize = 0;
  int32_t Supported = 0;  // bool32: type 0 to 3 and depth 8, 24 or 32
  // The header in machine order.
  uint32_t Magic = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint32_t Depth = 0;
  uint32_t Length = 0;
  uint32_t Type = 0;     // 0 old, 1 standard, 2 byte-encoded, 3 RGB order
  uint32_t MapType = 0;  // 0 none, 1 equal RGB planes, 2 raw
  uint32_t MapLength = 0;
};

// Parses the 32 header bytes into h (file fields untouched). A wrong magic: (7, 2).
void RASParseHeader_(const uint8_t* header, RasHandle& h);

// Decodes a whole Sun raster file held in memory into img (tag "FF_RAS.RASLoad.img").
// Errors: (7, 2) wrong magic; (7, 1) unsupported depth or type; (6, 3) the file ends inside the
// header, the colour map or the plain pixel data; (7, 3) run-length data that ends before the
// picture is full.
void RASDecode_(const uint8_t* data, int64_t size, Qimg& img);

// Run-length decoding of src into rows of rowBytes picture bytes, each followed by stride -
// rowBytes pad bytes in the stream. False when the source ends before rows rows are complete.
bool RasDecodeRle(const uint8_t* src, int64_t srcLen, uint8_t* dest, int64_t rowBytes, int64_t stride,
                  int64_t rows);
// Encodes length bytes of src; the bytes written to dst (at most 2 x length).
int32_t RasEncodeRow(int32_t length, uint8_t* dst, const uint8_t* src);
// X, B, G, R pixels to B, G, R, X and back, in place.
void RasXbgrToBgra(uint8_t* data, int64_t pixels);
void RasBgraToXbgr(uint8_t* data, int64_t pixels);

void RASOpen_(RasHandle& h, const std::string& fileName);
void RASClose_(RasHandle& h);
void RASInfo(const std::string& fileName, FFInfoRec& info);
void RASLoad(const std::string& fileName, Qimg& img);
// Writes img at 8, 24 or 32 bits (the save-depth table), run-length encoded when compress is
// not 0. 8-bit pictures always carry their colour map.
void RASSave(const std::string& fileName, const Qimg& img, int32_t compress);

// The writing itself, for a picture already at 8, 24 or 32 bits.
void RASWritePrepared_(const std::string& fileName, const Qimg& img, int32_t compress);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kRasUnit;

}  // namespace tavelo
