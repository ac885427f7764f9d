// Counts taken at open from what a file stores (an Ogg file's pages, an ASF file's packet
// headers), and the packets of such a file indexed on a thread kept for that beside the readers:
// first the file's first part, then the whole file. Also the closing of what a reader leaves
// behind, on that side too. (Internal to the reader.)
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ffreader/ff_reader.h"

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

// The packets of a file whose counts came from what it stores, walked on a kept thread from the
// open on. The index it builds is handed over once, whole; readers wait for it when they
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
};

// Makes one index of the walk's file: of the packets in about its first limit bytes (partial is
// then set when the file goes on past them), or of all of them. nullptr when it cannot be made
// or the walk is cancelled (error says why).
using WalkPart = std::function<std::shared_ptr<const Reader::Index>(int64_t limit, const std::atomic<bool>& cancel,
                                                                   bool& partial, std::string& error)>;

// Starts walk, which makes the index of the file's first part, then (unless that was the whole
// file) the full index, and hands each over as it is made. Walks run on threads kept for them
// (starting a thread per open cost a tenth of a short file's open); a walk never waits for
// another: when every kept thread is walking, another one is started. Throws when no thread can
// be had (or the library is unloading).
void StartWalk(const std::shared_ptr<IndexWalk>& walk, WalkPart part);

// The walk's reader is gone: the walk is told to stop, without waiting for it to notice; its
// thread goes back to waiting for the next walk. The library's unloading waits for the walks.
void RetireWalk(const std::shared_ptr<IndexWalk>& walk);

// Runs close (which frees what a reader that is gone held) on a thread kept for it, so that the
// caller does not wait: freeing a picture decoder on frame threads, with its frames, takes
// milliseconds (tens under load), and readers are often closed on the way to opening another file.
// Closes run one after the other, in the order given; the library's unloading waits for them
// (a close must not be the first call into a library loaded when first called). Runs close at
// once when the thread cannot be had.
void CloseLater(std::function<void()> close);

}  // namespace tavelo::ffreader
