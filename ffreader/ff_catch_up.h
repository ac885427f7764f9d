// A frame-threaded picture decoder made and filled by a thread of its own while the reader shows
// the first pictures of a run from a one-thread decoder (StartsOnOneThread): the first picture
// comes out after a packet or three, and the frame-threaded decoder, filled from the run's key
// frame, keeps a few pictures past the one shown until the reader takes the run over (at its
// first read after the catch-up is Ready). (Internal to the reader.)
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ffreader/ff_decode.h"
#include "ffreader/ff_packets.h"

namespace tavelo::ffreader {

// What the catch-up hands over: its decoder and demuxer standing in the run, and the pictures it
// decoded past the last one the reader showed, in display order.
struct CaughtUpRun {
  Decoder Dec;
  Demuxer Demux;
  EntryLookup Lookup;
  std::deque<AVFrame*> Frames;
  int64_t NextSend = 0;  // the entry the demuxer delivers next
  bool Drained = false;  // every packet of the run was sent and the decoder drained
  ~CaughtUpRun() {
    for (AVFrame*& f : Frames) av_frame_free(&f);
  }
};

class CatchUp {
 public:
  // The stream's packets: Owner keeps the entries, the table and the parameters alive.
  struct Source {
    std::shared_ptr<const void> Owner;
    std::string FileName;
    int Stream = -1;
    const AVCodecParameters* Params = nullptr;
    const std::vector<VideoEntry>* Entries = nullptr;
    const EntryTable* Table = nullptr;
    const AVInputFormat* Format = nullptr;  // the demuxer to open the file with (nullptr: probed)
  };

  CatchUp() = default;
  ~CatchUp() { Stop(); }
  CatchUp(const CatchUp&) = delete;
  CatchUp& operator=(const CatchUp&) = delete;

  // Starts decoding the run that begins at key entry key, on a demuxer and a frame-threaded
  // decoder of its own; shown is the time stamp of the picture the reader holds (AV_NOPTS_VALUE:
  // none yet, Shown gives it later). Stops a catch-up still running first.
  void Start(Source source, int64_t key, int64_t shown);
  // Breaks the catch-up off and waits for its thread; what it made is dropped.
  void Stop();
  bool Running() const { return thread_.joinable(); }
  // The reader holds the picture of time stamp pts: the catch-up needs none up to it.
  void Shown(int64_t pts);
  // True once the catch-up has held a picture past the one shown (or reached the end, or failed).
  bool Ready() const { return ready_.load(); }
  // Waits until the catch-up is Ready (at once when none runs).
  void Wait();
  // After Ready: ends the catch-up's thread and hands over the run, nullptr when it failed.
  std::unique_ptr<CaughtUpRun> Take();

  // Pictures past the one shown the catch-up decodes ahead before it waits for the reader.
  static constexpr size_t kAhead = 8;

 private:
  void Run(Source source, int64_t key);
  bool Place(const Source& source, CaughtUpRun& run, int64_t key);
  bool Collect(CaughtUpRun& run);
  bool Prune(CaughtUpRun& run);
  // Ready, then waits while the run holds kAhead pictures past the one shown; false when a
  // picture had no time stamp.
  bool Hold(CaughtUpRun& run);
  void SetReady();

  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> handover_{false};  // Take asked the thread to end with what it has
  std::atomic<bool> ready_{false};
  std::atomic<int64_t> shown_{AV_NOPTS_VALUE};
  std::mutex mutex_;  // over the waits on wake_
  std::condition_variable wake_;
  std::unique_ptr<CaughtUpRun> result_;  // written by the thread before it ends
};

}  // namespace tavelo::ffreader
