// Counts taken at open from what a file stores (an Ogg file's pages, an ASF file's packet
// headers), and the packets of such a file indexed by a thread of its own beside the readers:
// first the file's first part, then the whole file.
// (Internal to the reader.)
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "codecs/ffreader/ff_reader.h"

namespace tavelo::ffreader {

class Demuxer;

// The pictures of a Theora stream (vstream, -1: none) and the samples of a Vorbis stream
// (astream, -1: none) of a single (unchained) Ogg file open in scan, from the granule positions
// of the streams' last pages and where the streams start, without reading their packets. False
// where the pages cannot give the counts a walk of the packets would: a chained file, a stream
// whose last page is missing, cut off or ends in an empty picture, sound that starts by skipping
// samples. scan is left placed anywhere.
bool CountOggStreams(const std::string& fileName, Demuxer& scan, int vstream, int astream, int64_t& frames,
                     int64_t& samples);

// The packets of a file whose counts came from what it stores, walked by a thread of its own
// started at open. The index it builds is handed over once, whole; readers wait for it when they
// first need it. Cancel stops the walk (its index is then never used).
struct IndexWalk {
  std::mutex M;
  std::condition_variable Cv;
  bool EarlyDone = false;
  // The index of the file's first part, walked first, so that reads near the start need not wait
  // for the whole walk (nullptr when it could not be made).
  std::shared_ptr<const Reader::Index> Early;
  bool Done = false;
  std::shared_ptr<const Reader::Index> Full;  // nullptr when the walk failed (Error says why)
  std::string Error;
  std::atomic<bool> Cancel{false};
  std::thread Thread;

  void Stop() {
    Cancel = true;
    if (Thread.joinable()) Thread.join();
  }
};

// Makes one index of the walk's file: of the packets in about its first limit bytes (partial is
// then set when the file goes on past them), or of all of them. nullptr when it cannot be made
// or the walk is cancelled (error says why).
using WalkPart = std::function<std::shared_ptr<const Reader::Index>(int64_t limit, const std::atomic<bool>& cancel,
                                                                   bool& partial, std::string& error)>;

// Starts walk's thread, which makes the index of the file's first part, then (unless that was
// the whole file) the full index, and hands each over as it is made.
void StartWalk(const std::shared_ptr<IndexWalk>& walk, WalkPart part);

// The walk's reader is gone: the walk is told to stop, and its thread is joined later (at the
// next walk retired, or when the library is unloaded), so that closing a reader does not wait
// for its walk to notice.
void RetireWalk(const std::shared_ptr<IndexWalk>& walk);

}  // namespace tavelo::ffreader
