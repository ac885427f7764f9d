/* gifcodec: the library with giflib's writing interface that the GIF unit binds. It carries
   giflib itself (linked in whole) and offers exactly the ten writing calls the unit binds:
   giflib's own EGifOpenFileName, EGifPutScreenDesc, EGifPutImageDesc, EGifPutLine, EGifCloseFile,
   EGifSetGifVersion and EGifPutExtension, and the three calls that write an extension block by
   block (first, next, last), which current giflib spells Leader, Block and Trailer. */
#include <gif_lib.h>

#define EXPORT __attribute__((visibility("default")))

/* The extension's introducer and code, then its first data block. */
EXPORT int EGifPutExtensionFirst(GifFileType* gif, int extCode, int extLen, const void* extension) {
  if (EGifPutExtensionLeader(gif, extCode) == GIF_ERROR) return GIF_ERROR;
  return EGifPutExtensionBlock(gif, extLen, extension);
}

/* A further data block. */
EXPORT int EGifPutExtensionNext(GifFileType* gif, int extCode, int extLen, const void* extension) {
  (void)extCode;
  return EGifPutExtensionBlock(gif, extLen, extension);
}

/* The last data block and the terminator. */
EXPORT int EGifPutExtensionLast(GifFileType* gif, int extCode, int extLen, const void* extension) {
  (void)extCode;
  if (extLen > 0 && EGifPutExtensionBlock(gif, extLen, extension) == GIF_ERROR) return GIF_ERROR;
  return EGifPutExtensionTrailer(gif);
}
