// Drives one media file through the dispatcher the way the player does: describe it (UniInfo,
// with numbered-sequence detection on as the engine asks), open it, read the first frames in
// order, seek by key frames to the middle and the end and back to the start, read the sound in
// runs that continue without seeking and at a few positions (the end and past it among them),
// then close. Every delivered picture and sound is checked against what the description
// promised and read through, so a short buffer is caught where it is made.
//
// The work per input is bounded the way playback of a hostile file would not be: at most a few
// dozen million pixels are delivered, so the frames read depend on the picture size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavelo::fuzz {

struct MediaDrive {
  // Also read the file through the still-picture door (ImgLoad), as the program does for a single
  // picture and for the first image of a GIF.
  bool StillLoad = false;
};

void DriveMediaFile(const std::string& path, const MediaDrive& how);

// Writes the input to a file of the given name (its extension picks the unit) and drives it
// inside an InputScope.
void DriveMediaInput(const std::string& name, const uint8_t* data, size_t size, const MediaDrive& how = {});

}  // namespace tavelo::fuzz
