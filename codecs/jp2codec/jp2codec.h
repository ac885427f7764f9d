/* jp2codec: the JPEG 2000 codec library over OpenJPEG, loaded by file name at run time
 * ("jp2codec.dll", which the dynamic-library stand-in opens as codecs/jp2codec.so).
 *
 * Files are told apart by their first bytes: the JP2 file format (signature box) or a bare code
 * stream (SOC and SIZ markers), whatever their extension.
 *
 * Pictures are handed over as rows top-down without gaps in the picture record's byte order,
 * always 1, 3 or 4 bytes per pixel:
 *   1 component           1 byte, grey;
 *   2 components          4 bytes B, G, R, A: grey (copied to B, G and R) and its alpha;
 *   3 components          3 bytes B, G, R;
 *   4 or more components  4 bytes B, G, R, A from the first four.
 * Samples of any precision, signed or not, are scaled to 8 bits (v * 255 / (2^precision - 1),
 * rounded); components stored at a coarser spacing than the picture grid are repeated.
 *
 * jp2_info (fileName, width, height, bytesPP, kind)
 *   Describes a file; kind (a buffer of at least 4 bytes) receives "jp2" or "jpc". The library
 *   remembers the description (per thread, the last one only): it is the size of the buffer
 *   its caller then allocates.
 * jp2_read (fileName, pixels)
 *   Decodes the whole picture into pixels, which the call receives without a size: the last
 *   description of this thread must be of the same file name, and the file must still decode to
 *   exactly the described width, height and bytes per pixel. Anything else is refused before a
 *   pixel is written.
 * jp2_write (fileName, pixels, width, height, rate)
 *   Writes 3-byte B, G, R pixels: a JP2 file when the name ends in ".jp2" (any case), else a bare
 *   code stream. rate is the share of the uncompressed size the code stream may take: 1.0 or more
 *   writes losslessly (reversible 5/3 wavelet), a rate between 0 and 1 lossily (9/7 wavelet at a
 *   compression ratio of 1 / rate); a rate of 0 or below (or not a number) is refused. A file
 *   that could not be written completely is removed.
 *
 * Every call returns non-zero on success and 0 on failure. No call throws and none prints. */
#ifndef TAVELO_CODECS_JP2CODEC_H
#define TAVELO_CODECS_JP2CODEC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t jp2_info(const char* fileName, int32_t* width, int32_t* height, int32_t* bytesPP, char* kind);
int32_t jp2_read(const char* fileName, uint8_t* pixels);
int32_t jp2_write(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height, double rate);

/* The calls as the unit binds them by name. */
typedef int32_t (*jp2_info_fn)(const char*, int32_t*, int32_t*, int32_t*, char*);
typedef int32_t (*jp2_read_fn)(const char*, uint8_t*);
typedef int32_t (*jp2_write_fn)(const char*, const uint8_t*, int32_t, int32_t, double);

#ifdef __cplusplus
}
#endif

#endif
