// Counts the pictures and the sound blocks of a Windows Media (ASF) file by reading only the
// headers of its data packets and payloads, not the media: an hour of film is a few hundred
// thousand small headers. (Internal to the reader.)
//
// The count is that of FFmpeg's demuxer, which hands over one packet per media object, for files
// laid out plainly: packets of one fixed size, as many as the data object says, every media object
// of the streams counted sent whole and in order (each payload continuing where the last one
// stopped), none compressed into sub-payloads. Anything else answers "not plain" and the caller
// walks the file with the demuxer.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "codecs/ffreader/ff_asf_sound.h"

namespace tavelo::ffreader {

enum class AsfWalk { Counted, NotPlain, Stopped };

struct AsfCounts {
  int64_t Pictures = 0;  // the picture stream's media objects
  int64_t Samples = 0;   // what the sound's blocks decode to (WmaCount)
};

// videoNumber and audioNumber: the ASF stream numbers to count (0: none). sound counts the
// audio stream's objects (and is handed the first ones' bytes). progress is called now and then
// with the bytes walked and the file's size; answering false stops the walk.
AsfWalk CountAsfObjects(const std::string& fileName, int videoNumber, int audioNumber, WmaCount* sound,
                        AsfCounts& counts, const std::function<bool(int64_t, int64_t)>& progress = {});

}  // namespace tavelo::ffreader
