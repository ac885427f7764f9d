// Counts the pictures and the sound blocks of a Windows Media (ASF) file by reading only the
// headers of its data packets and payloads, not the media: an hour of film is a few hundred
// thousand small headers. (Internal to the reader.)
//
// The count is that of FFmpeg's demuxer, which hands over one packet per media object, for files
// laid out plainly: packets of one fixed size, as many as the data object says, every media object
// of the streams counted sent whole and in order (each payload continuing where the last one
// stopped), none compressed into sub-payloads. Anything else answers "not plain" and the caller
// walks the file with the demuxer.
//
// Reading the packets costs more than following their headers, so the walk starts as soon as the
// file is known to be ASF (before the demuxer has opened it and said which streams to count) and
// reads its parts at once on kept threads; each part follows every stream, and the parts are
// joined where objects run across them.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ffreader/ff_asf_sound.h"

namespace tavelo::ffreader {

enum class AsfWalk { Counted, NotPlain, Stopped };

struct AsfCounts {
  int64_t Pictures = 0;  // the picture stream's media objects
  int64_t Samples = 0;   // what the sound's blocks decode to (WmaCount)
};

// A walk of an ASF file's packet headers running beside its caller. Giving it up stops it.
class AsfObjectWalk {
 public:
  struct State;
  explicit AsfObjectWalk(std::shared_ptr<State> state);
  ~AsfObjectWalk();
  AsfObjectWalk(const AsfObjectWalk&) = delete;
  AsfObjectWalk& operator=(const AsfObjectWalk&) = delete;

  // Waits for the walk and counts the objects of the streams numbered videoNumber and audioNumber
  // (0: none); sound counts the audio stream's objects (and is handed the first ones' bytes).
  // progress is called now and then with the bytes walked and the file's size, on the caller's
  // thread; answering false stops the walk.
  AsfWalk Count(int videoNumber, int audioNumber, WmaCount* sound, AsfCounts& counts,
                const std::function<bool(int64_t, int64_t)>& progress = {});

 private:
  std::shared_ptr<State> state_;
};

// Starts the walk of fileName in parts (0: as many as its size and the machine's cores make
// worth it); nullptr when the file is not ASF or its header already shows it is not laid out
// plainly.
std::unique_ptr<AsfObjectWalk> StartAsfObjectWalk(const std::string& fileName, int parts = 0);

}  // namespace tavelo::ffreader
