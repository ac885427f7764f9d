/* jpegcodec: the JPEG codec library over libjpeg-turbo, loaded by file name at run time
 * ("jpegcodec.dll", which the dynamic-library stand-in opens as codecs/jpegcodec.so).
 *
 * Pictures are handed over as rows top-down without gaps, 1 byte per pixel for grey pictures and
 * 3 bytes (R, G, B) for everything else: colour files of any kind arrive as R, G, B, CMYK and
 * YCCK files included. Resolutions are dots per inch (a file that stores dots per centimetre
 * gives them converted and rounded; a file that stores only an aspect ratio gives 0 and 0).
 *
 * jpg_info_file (fileName, width, height, bytesPP, xRes, yRes)
 *   Describes a file. The library remembers the description (per thread, the last one only):
 *   it is the size of the buffer the caller then allocates. It also keeps the file open after
 *   its header until this thread's next call, so that the read which follows goes on from there
 *   rather than opening and parsing the file again.
 * jpg_read_file (fileName, data, dataSize, pixels, width, height, bytesPP, xRes, yRes)
 *   Decodes a whole picture into pixels, which the call receives without a size, so the size
 *   must be known to the library beforehand:
 *   - fileName given (not null, not empty): the picture is read from that file; the last
 *     description of this thread must be of the same file name and the file must still decode
 *     to exactly the described width, height and bytes per pixel. data is not used; dataSize
 *     holds the read's options: 0, or JPG_READ_BGR for colour pixels as B, G, R;
 *   - fileName null or empty: the picture is read from the dataSize bytes at data; on entry
 *     width, height and bytesPP state the size of the pixel buffer, and the picture must have
 *     exactly that size.
 *   Anything else is refused before a pixel is written. On success the outputs hold the
 *   picture's values.
 * jpg_write_file (fileName, pixels, width, height, xRes, yRes, quality)
 *   Writes 3-byte R, G, B pixels as a baseline JFIF file; quality is limited to 1..100; the
 *   resolutions are stored as dots per inch when both are above 0. A file that could not be
 *   written completely is removed.
 *
 * Every call returns JPG_OK (0) on success or one of the codes below. No call throws and none
 * prints; a damaged stream is a failure (JPG_ERR_DATA). A stream that ends early after its
 * header (a partly downloaded file) gives the rows decoded so far and libjpeg's grey after them,
 * with JPG_WARN_CUT_OFF instead of JPG_OK; the caller decides whether to show it. */
#ifndef TAVELO_CODECS_JPEGCODEC_H
#define TAVELO_CODECS_JPEGCODEC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  JPG_OK = 0,
  JPG_ERR_ARGS = 1,       /* a missing pointer or a value out of range */
  JPG_ERR_OPEN = 2,       /* the file cannot be opened or created */
  JPG_ERR_DATA = 3,       /* not a JPEG stream, or a damaged or cut-off one */
  JPG_ERR_SIZE = 4,       /* the picture is not of the size the buffer was made for */
  JPG_ERR_UNDESCRIBED = 5,/* a file read that no jpg_info_file of the same name preceded */
  JPG_ERR_TOO_LARGE = 6,  /* the picture would not fit in 2^31 - 1 bytes */
  JPG_ERR_WRITE = 7,      /* the file could not be written completely */
  JPG_WARN_CUT_OFF = 8    /* read: the data ended early; the pixels hold what was decoded */
};

/* jpg_read_file's options for a read from a file (in dataSize). */
enum { JPG_READ_BGR = 1 /* colour pixels as B, G, R instead of R, G, B */ };

int32_t jpg_info_file(const char* fileName, int32_t* width, int32_t* height, int32_t* bytesPP, int32_t* xRes,
                      int32_t* yRes);
int32_t jpg_read_file(const char* fileName, const uint8_t* data, int32_t dataSize, uint8_t* pixels, int32_t* width,
                      int32_t* height, int32_t* bytesPP, int32_t* xRes, int32_t* yRes);
int32_t jpg_write_file(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height, int32_t xRes,
                       int32_t yRes, int32_t quality);

/* The calls as the unit binds them by name. */
typedef int32_t (*jpg_info_file_fn)(const char*, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*);
typedef int32_t (*jpg_read_file_fn)(const char*, const uint8_t*, int32_t, uint8_t*, int32_t*, int32_t*, int32_t*,
                                    int32_t*, int32_t*);
typedef int32_t (*jpg_write_file_fn)(const char*, const uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t);

#ifdef __cplusplus
}
#endif

#endif
