// A look at a RIFF file (WAV, AVI) before FFmpeg reads it.
#pragma once
#include <string>

namespace tavelo::ffreader {

// False when a tag of an INFO list in the RIFF file claims more bytes than the file holds after
// it. FFmpeg's WAV and AVI readers allocate every INFO tag, zero-filled, at the size it claims,
// bounded only by the size the list claims, before reading it: 109 bytes claiming a 451 MB tag
// cost a second and half a gigabyte. True for every other file, RIFF or not, and for a file that
// cannot be read (the demuxer then says why). avi (when given) is set when the file is a RIFF
// AVI file ("RIFF", a size, "AVI "), the one layout FFmpeg's AVI demuxer claims outright.
bool RiffInfoTagsFit(const std::string& path, bool* avi = nullptr);
// The same for the file open as fd (read with pread: its offset is left as it was).
bool RiffInfoTagsFit(int fd, bool* avi = nullptr);

}  // namespace tavelo::ffreader
