// What the program does with its command line once the main window is up, the open-and-play
// routine, and the program log that the switch "log" and the menu command Create Log File start
// (part of unit wTaveloMain).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace tavelo {

// What the command line needs from the player control and the main window.
struct CmdLinePlayer {
  std::function<void(const std::string&)> OpenFile;  // the player's OpenFile
  std::function<void()> Play;                        // the Play command (as its button)
  std::function<int32_t()> GetLoopCount;
  std::function<void(int32_t)> SetLoopCount;         // the player clamps to 0..1000000
  std::function<void()> ProcessMessages;             // let the application handle what is pending
  std::function<void()> SetCloseFlag;                // close the window when playback ends
};

// The stopwatch and the sleep of OpenAndPlay. Tests install their own; an empty clock returns to
// the machine's (the stopwatch and a real sleep).
struct OpenAndPlayClock {
  std::function<double()> Seconds;         // a running clock in seconds
  std::function<void(int32_t ms)> Sleep;
};
void SetOpenAndPlayClock(const OpenAndPlayClock& clock);

// The least time between the start of an open and the start of playback.
constexpr int32_t kOpenToPlayMs = 700;

// Runs the switches: "log" first; a bare first argument opens and plays that file and nothing
// else counts; otherwise "open", "play" (wins over "open"), "repeats" and "close".
void ProcessCommandLineParams(const CmdLinePlayer& player);

// Opens the file, lets pending messages run, waits until 700 ms have passed since the open
// began, then runs Play.
void OpenAndPlay(const CmdLinePlayer& player, const std::string& fileName);

// Starts the trace log in the Documents folder as "_Tavelo_log_NNN.txt" (the first free number)
// with the program's title and the processor's name.
void StartProgramLog();
void StopProgramLog();
// The path of the last log StartProgramLog started ('' before).
const std::string& ProgramLogPath();

}  // namespace tavelo
