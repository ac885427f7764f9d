#include "tests/formats/media_tools.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>

namespace tavelo::test {

namespace {

bool HaveTool(const char* tool) {
  const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

void RequireTool(const char* tool) {
  ADD_FAILURE_AT(__FILE__, __LINE__) << tool << " is missing (scripts/install-deps.sh installs it)";
}

}  // namespace

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

ToolRun RunTool(const std::string& command) {
  ToolRun run;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.Out.append(buffer, n);
  const int status = pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::vector<std::vector<uint8_t>> FFmpegFrames(const std::string& path, const std::string& pixFmt,
                                               int64_t frameBytes) {
  std::vector<std::vector<uint8_t>> frames;
  if (!HaveTool("ffmpeg")) {
    RequireTool("ffmpeg");
    return frames;
  }
  const ToolRun run = RunTool("ffmpeg -v error -nostdin -i " + ShellQuote(path) +
                              " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt " + pixFmt + " -");
  EXPECT_EQ(run.Status, 0) << "ffmpeg cannot decode " << path;
  if (run.Status != 0 || frameBytes < 1) return frames;
  EXPECT_EQ(static_cast<int64_t>(run.Out.size()) % frameBytes, 0) << "ffmpeg gave a part of a frame";
  for (size_t at = 0; at + frameBytes <= run.Out.size(); at += static_cast<size_t>(frameBytes))
    frames.emplace_back(run.Out.begin() + static_cast<std::ptrdiff_t>(at),
                        run.Out.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
  return frames;
}

std::vector<int16_t> FFmpegSamples(const std::string& path) {
  std::vector<int16_t> samples;
  if (!HaveTool("ffmpeg")) {
    RequireTool("ffmpeg");
    return samples;
  }
  const ToolRun run =
      RunTool("ffmpeg -v error -nostdin -i " + ShellQuote(path) + " -map 0:a:0 -f s16le -acodec pcm_s16le -");
  EXPECT_EQ(run.Status, 0) << "ffmpeg cannot decode the sound of " << path;
  samples.resize(run.Out.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), run.Out.data(), samples.size() * 2);
  return samples;
}

std::string FFprobeValue(const std::string& path, const std::string& kind, const std::string& entry) {
  if (!HaveTool("ffprobe")) {
    RequireTool("ffprobe");
    return std::string();
  }
  const bool count = entry == "count_frames";
  const std::string field = count ? "nb_read_frames" : entry;
  const ToolRun run = RunTool(std::string("ffprobe -v error ") + (count ? "-count_frames " : "") + "-select_streams " +
                              kind + ":0 -show_entries stream=" + field + " -of default=nw=1:nk=1 " +
                              ShellQuote(path));
  EXPECT_EQ(run.Status, 0) << "ffprobe cannot describe " << path;
  std::string value = run.Out;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

std::map<std::string, std::string> ProbeInfo(const std::string& path) {
  std::map<std::string, std::string> out;
  const ToolRun run = RunTool(ShellQuote(TAVELO_PROBE) + " info " + ShellQuote(path));
  EXPECT_EQ(run.Status, 0) << "tavelo-probe info " << path;
  size_t at = 0;
  while (at < run.Out.size()) {
    size_t end = run.Out.find('\n', at);
    if (end == std::string::npos) end = run.Out.size();
    const std::string line = run.Out.substr(at, end - at);
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) out[line.substr(0, colon)] = line.substr(colon + 2);
    at = end + 1;
  }
  return out;
}

}  // namespace tavelo::test
