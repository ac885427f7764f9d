// Codec names (part of unit FF_AVI): the texts the media-information window shows for the
// compression codes found in files. Video codecs are named by the installed compressors (the
// Video for Windows stand-in), audio formats by the Audio Compression Manager stand-in.
#pragma once
#include <cstdint>
#include <string>

namespace tavelo {

// True when the code means uncompressed full frames: "DIB ", "RAW ", "RGB " (any case) or 0.
bool AVIChk4FullFrames_(uint32_t code);
// True when the code is one of the names of the Video-1 codec: "MSVC", "CRAM", "WHAM" (any case).
bool AVIChk4Video1_(uint32_t code);
// "Full frames, uncompressed", the installed compressor's description, or "Unknown codec".
void VfwGetVideoName(uint32_t code, std::string& name);
// "PCM, uncompressed" for tag 1, the Audio Compression Manager's name for tags from 2 on,
// "Unknown codec" otherwise. Every caller passes 0 as the driver.
void AcmGetAudioName(int32_t driver, int32_t tag, std::string& name);

}  // namespace tavelo
