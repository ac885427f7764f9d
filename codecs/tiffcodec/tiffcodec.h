/* tiffcodec: the TIFF codec library, loaded by file name at run time ("tiffcodec.dll", which the
 * dynamic-library stand-in opens as codecs/tiffcodec.so).
 *
 * The library carries libtiff and offers its published interface unchanged (TIFFOpen,
 * TIFFGetField, TIFFReadScanline, ... with libtiff's own types from <tiffio.h>), plus two calls
 * of its own that route libtiff's messages to the caller:
 *
 *   ExternErrorSet(handler), ExternWarningSet(handler)
 *     From then on every error (warning) message of libtiff reaches handler as one formatted,
 *     zero-terminated text, "<module>: <message>" (or the message alone when libtiff names no
 *     module), cut to at most TIFFCODEC_MESSAGE_MAX - 1 bytes. A null handler drops the
 *     messages. The handlers are process-wide and run on the thread that made the failing
 *     call; a handler must return (it must not throw or jump).
 */
#ifndef TAVELO_CODECS_TIFFCODEC_H
#define TAVELO_CODECS_TIFFCODEC_H

#include <tiffio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TIFFCODEC_MESSAGE_MAX 1024

typedef void (*tiffcodec_message_fn)(const char* text);

void ExternErrorSet(tiffcodec_message_fn handler);
void ExternWarningSet(tiffcodec_message_fn handler);

/* The calls as the unit binds them by name. */
typedef void (*ExternErrorSet_fn)(tiffcodec_message_fn);
typedef void (*ExternWarningSet_fn)(tiffcodec_message_fn);

#ifdef __cplusplus
}
#endif

#endif
