// pngcodec carries libpng as it is (see pngcodec.h): the library's interface is libpng's own,
// reached through this object's needed entry, so this translation unit adds no code. It exists
// because a shared object needs at least one source.
#include "codecs/pngcodec/pngcodec.h"
