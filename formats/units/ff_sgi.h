// SGI image files (unit FF_SGI, format 13: ".rgb", ".rgba", ".bw", ".sgi"), read and written by
// our own code: the 512-byte big-endian header, plain planes, and the format's run-length rows
// with their start and length tables.
//
// Loading reads the whole file once and decodes it from memory (SGIDecode_), so every offset and
// length the file states is checked against the bytes that are really there. Two-byte samples
// give their most significant byte; two-channel files (grey and alpha) load as 32-bit pictures
// with the grey value in blue, green and red and the alpha in byte 3.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

constexpr int32_t kSgiMagic = 474;
constexpr int32_t kSgiHeaderSize = 512;
// The part of the header the reader looks at.
constexpr int32_t kSgiHeaderRead = 108;

struct SgiHandle {
  int32_t File = 0;      // tracked file handle, 0 when none is open
  int64_t FileSize = 0;
  int32_t Supported = 0;  // bool32
  // The header, numbers in machine order.
  int32_t Magic = 0;
  int32_t Storage = 0;  // 0 plain, 1 run-length encoded
  int32_t Bpc = 0;      // bytes per channel sample
  int32_t Dimension = 0;
  int32_t XSize = 0;
  int32_t YSize = 0;
  int32_t ZSize = 0;  // channels after the dimension rule (0 for an unknown dimension)
  int32_t PixMin = 0;
  int32_t PixMax = 0;
  int32_t ColorMap = 0;
};

// Parses the first 108 header bytes into h (file fields untouched) and sets Supported.
// A wrong magic fails with (7, 2) "Invalid image format.".
void SGIParseHeader_(const uint8_t* header, SgiHandle& h);

// The channels of a loaded picture: 1 grey (8 bits with a grey palette), 3 B, G, R; 2 and 4
// load as 32 bits.
int32_t SGIPictureBpp_(const SgiHandle& h);

// Decodes a whole SGI file held in memory (data, size bytes) into img (tag "FF_SGI.SGILoad.img").
// Errors: (7, 2) wrong magic; (7, 1) an unsupported header; (6, 3) the file ends before the plain
// planes or the row tables end; (7, 3) a run-length row that lies outside the file or decodes to
// fewer samples than the picture is wide.
void SGIDecode_(const uint8_t* data, int64_t size, Qimg& img);

// Encodes count samples as one run-length row into dest (room for 2 x count + 2 bytes is always
// enough); the encoded length.
int32_t SGIEncodeRow_(const uint8_t* src, int32_t count, int32_t stride, uint8_t* dest);

// Opens fileName and reads its header (traced "FF_SGI.SGIOpen_", in a monitor frame).
void SGIOpen_(SgiHandle& h, const std::string& fileName);
void SGIClose_(SgiHandle& h);

// Describes an SGI file (format 13). Two-channel files are described as the 32-bit pictures
// they load as.
void SGIInfo(const std::string& fileName, FFInfoRec& info);
// Reads the picture of an SGI file.
void SGILoad(const std::string& fileName, Qimg& img);
// Writes img at 24 bits (32 for a 32-bit picture), run-length encoded when codec is not 0. A
// picture wider or higher than 65535 cannot be written (7, 11).
void SGISave(const std::string& fileName, const Qimg& img, int32_t codec);

// The writing itself, for a picture already at 24 or 32 bits.
void SGIWritePrepared_(const std::string& fileName, const Qimg& img, int32_t codec);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kSgiUnit;

}  // namespace tavelo
