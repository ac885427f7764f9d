/* pngcodec: the PNG codec library, loaded by file name at run time ("pngcodec.dll", which the
 * dynamic-library stand-in opens as codecs/pngcodec.so).
 *
 * The library carries libpng and offers its published interface unchanged: every libpng call
 * the PNG unit binds by name (png_create_read_struct, png_read_info, png_get_io_ptr, ...) is
 * found through this library's handle, with libpng's own types from <png.h>. Callers pass the
 * version text of the libpng they were built against (PNG_LIBPNG_VER_STRING); a libpng of
 * another series refuses to make its structures, which the unit reports.
 *
 * Nothing else lives here: the unit owns its callbacks (reading and writing through its own
 * tracked file, errors returned through its own jump buffer). */
#ifndef TAVELO_CODECS_PNGCODEC_H
#define TAVELO_CODECS_PNGCODEC_H

#include <png.h>

#endif
