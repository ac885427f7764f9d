// Running the media tools (ffmpeg, ffprobe) from the tests: their decode of a whole stream as raw
// frames or samples, and ffprobe's figures, as the independent reference for our readers. A
// missing tool fails the calling test loudly.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavelo::test {

struct ToolRun {
  int Status = -1;  // the exit status, -1 when the command could not run
  std::string Out;
};

// Runs a shell command and collects its standard output (standard error is kept out).
ToolRun RunTool(const std::string& command);
// Quotes a path for the shell.
std::string ShellQuote(const std::string& s);

// FFmpeg's decode of the first picture stream of path as raw frames of pixFmt (an FFmpeg pixel
// format name), every decoded picture kept (no frame dropped or repeated). frameBytes is the size
// of one frame. Fails the test and returns nothing when ffmpeg fails.
std::vector<std::vector<uint8_t>> FFmpegFrames(const std::string& path, const std::string& pixFmt,
                                               int64_t frameBytes);
// FFmpeg's decode of the first sound stream as interleaved signed 16-bit samples.
std::vector<int16_t> FFmpegSamples(const std::string& path);

// One value of ffprobe's description of the first stream of a kind ("v" or "a"), for example
// Probe(path, "v", "width"); "count_frames" is counted by decoding (nb_read_frames).
std::string FFprobeValue(const std::string& path, const std::string& kind, const std::string& entry);

// tavelo-probe's "info" of a file as its "name: value" lines; empty (and a failed test) when the
// probe fails.
std::map<std::string, std::string> ProbeInfo(const std::string& path);

}  // namespace tavelo::test
