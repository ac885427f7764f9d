/* zmvcodec: the ZMV codec library, loaded by file name at run time ("zmvcodec.dll", which the
 * dynamic-library stand-in opens as codecs/zmvcodec.so).
 *
 * The ZMV unit reads movies of header version 97 and below itself and hands the newer generation
 * to this library. This library reads no ZMV generation: zmv_open refuses every file cleanly
 * (ZMV_ERR_UNSUPPORTED for a ZMV file, ZMV_ERR_FORMAT for anything else), and the reading calls
 * on a handle that is not open fail with ZMV_ERR_NOT_OPEN. The writing calls are exported because
 * the unit's loader binds them; nothing calls them and they fail with ZMV_ERR_NOT_OFFERED.
 *
 * zmv_decode unpacks method 7 of the packed-picture blob (the program's built-in pictures):
 *   - param is the byte length of the packed data;
 *   - the packed data is one zlib stream (RFC 1950, as zlib's compress2 makes it) of exactly
 *     width x height x ((bpp + 7) / 8) bytes: the picture's rows top-down, packed without gaps,
 *     pixels in the picture record's byte order (B, G, R[, A]; palette indices at 8 bits);
 *   - bpp is 8, 15, 16, 24 or 32. The palette of an 8-bit blob is not part of the stream.
 * It writes the whole picture into pixels, or fails without reading or writing outside the
 * param bytes of data and the picture's bytes of pixels.
 *
 * Every call returns 0 on success. No call throws; the library keeps no state besides its
 * handles. */
#ifndef TAVELO_CODECS_ZMVCODEC_H
#define TAVELO_CODECS_ZMVCODEC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  ZMV_OK = 0,
  ZMV_ERR_ARGS = 1,         /* a missing pointer or a value out of range */
  ZMV_ERR_OPEN = 2,         /* the file cannot be opened or read */
  ZMV_ERR_FORMAT = 3,       /* not a ZMV file */
  ZMV_ERR_UNSUPPORTED = 4,  /* a ZMV file this library does not read */
  ZMV_ERR_NOT_OPEN = 5,     /* the handle holds no open movie */
  ZMV_ERR_DATA = 6,         /* packed data damaged or of the wrong size */
  ZMV_ERR_NOT_OFFERED = 7,  /* writing is not offered */
  ZMV_ERR_MEMORY = 8
};

typedef struct zmv_lib_handle zmv_lib_handle;

/* Reading (the ZMV unit, files of header version above 97). */
zmv_lib_handle* zmv_handle_alloc(void);
void zmv_handle_free(zmv_lib_handle* h);
int32_t zmv_open(zmv_lib_handle* h, const char* fileName);
int32_t zmv_close(zmv_lib_handle* h);
int32_t zmv_video_get_format(zmv_lib_handle* h, int32_t* frames, int32_t* codec, int32_t* width, int32_t* height,
                             int32_t* bitsPerPixel, double* frameRate, int32_t* keyInterval);
int32_t zmv_audio_get_format(zmv_lib_handle* h, int32_t* samples, int32_t* hasSound, int32_t* sampleRate,
                             int32_t* channels, int32_t* bitsPerSample);
int32_t zmv_video_seek(zmv_lib_handle* h, int32_t frame);
int32_t zmv_video_read(zmv_lib_handle* h, uint8_t* pixels);
int32_t zmv_video_get_palette(zmv_lib_handle* h, uint8_t* palette, int32_t* changed);
int32_t zmv_audio_seek(zmv_lib_handle* h, int32_t sample);
int32_t zmv_audio_read(zmv_lib_handle* h, uint8_t* buffer, int32_t count, int32_t* samplesRead);

/* Packed pictures (method 7 of the packed-picture blob). */
int32_t zmv_decode(uint8_t* pixels, const uint8_t* data, int32_t width, int32_t height, int32_t bpp, int32_t param);

/* Writing: bound by the loader, never called. */
int32_t zmv_create(zmv_lib_handle* h, const char* fileName);
int32_t zmv_video_set_format(zmv_lib_handle* h, int32_t width, int32_t height, int32_t bitsPerPixel, double frameRate,
                             int32_t codec, int32_t keyInterval);
int32_t zmv_audio_set_format(zmv_lib_handle* h, int32_t sampleRate, int32_t channels, int32_t bitsPerSample);
int32_t zmv_video_write_ex(zmv_lib_handle* h, const uint8_t* pixels, const uint8_t* palette, int32_t flags);
int32_t zmv_video_write(zmv_lib_handle* h, const uint8_t* pixels);
int32_t zmv_audio_write_ex(zmv_lib_handle* h, const uint8_t* buffer, int32_t count, int32_t flags);
int32_t zmv_audio_write(zmv_lib_handle* h, const uint8_t* buffer, int32_t count);
int32_t zmv_encode(uint8_t* data, int32_t dataSize, const uint8_t* pixels, int32_t width, int32_t height, int32_t bpp,
                   int32_t* param);

/* The same calls as the unit binds them by name. */
typedef zmv_lib_handle* (*zmv_handle_alloc_fn)(void);
typedef void (*zmv_handle_free_fn)(zmv_lib_handle*);
typedef int32_t (*zmv_open_fn)(zmv_lib_handle*, const char*);
typedef int32_t (*zmv_close_fn)(zmv_lib_handle*);
typedef int32_t (*zmv_video_get_format_fn)(zmv_lib_handle*, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*, double*,
                                           int32_t*);
typedef int32_t (*zmv_audio_get_format_fn)(zmv_lib_handle*, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*);
typedef int32_t (*zmv_video_seek_fn)(zmv_lib_handle*, int32_t);
typedef int32_t (*zmv_video_read_fn)(zmv_lib_handle*, uint8_t*);
typedef int32_t (*zmv_video_get_palette_fn)(zmv_lib_handle*, uint8_t*, int32_t*);
typedef int32_t (*zmv_audio_seek_fn)(zmv_lib_handle*, int32_t);
typedef int32_t (*zmv_audio_read_fn)(zmv_lib_handle*, uint8_t*, int32_t, int32_t*);
typedef int32_t (*zmv_decode_fn)(uint8_t*, const uint8_t*, int32_t, int32_t, int32_t, int32_t);

#ifdef __cplusplus
}
#endif

#endif
