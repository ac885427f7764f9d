#include "ffreader/ff_catch_up.h"

#include <utility>

namespace tavelo::ffreader {

namespace {

int64_t FramePts(const AVFrame* f) { return f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp; }

// No more are kept: the reader takes over long before (it keeps as many itself).
constexpr size_t kMaxFrames = 64;

}  // namespace

void CatchUp::Start(Source source, int64_t key, int64_t shown) {
  Stop();
  cancel_ = false;
  handover_ = false;
  ready_ = false;
  shown_ = shown;
  result_.reset();
  thread_ = std::thread([this, source = std::move(source), key]() mutable { Run(std::move(source), key); });
}

void CatchUp::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  result_.reset();
  ready_ = false;
  handover_ = false;
}

void CatchUp::Shown(int64_t pts) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.store(pts);
  }
  wake_.notify_all();
}

void CatchUp::Wait() {
  if (!thread_.joinable()) return;
  // (Only Stop, on the caller's own thread, ends the thread without it being Ready.)
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return ready_.load(); });
}

std::unique_ptr<CaughtUpRun> CatchUp::Take() {
  if (!ready_.load()) return nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handover_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  ready_ = false;
  handover_ = false;
  return std::move(result_);
}

void CatchUp::SetReady() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
  }
  wake_.notify_all();
}

bool CatchUp::Hold(CaughtUpRun& run) {
  SetReady();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!Prune(run)) return false;
    if (cancel_.load() || handover_.load() || run.Frames.size() < kAhead) return true;
    wake_.wait(lock);
  }
}

// Places the run's demuxer so that its current packet is entry key: a seek to the entry's decoding
// time, else a read from the file's start.
bool CatchUp::Place(const Source& source, CaughtUpRun& run, int64_t key) {
  const VideoEntry& target = (*source.Entries)[static_cast<size_t>(key)];
  std::string error;
  for (int attempt = key > 0 ? 0 : 1; attempt < 2 && !cancel_.load(); ++attempt) {
    if (attempt == 1 || run.Demux.Fmt() == nullptr) {
      // (No stop flag: the reader keeps reading with this demuxer after the catch-up ends.)
      if (!run.Demux.Open(source.FileName, error, nullptr, source.Format)) return false;
      run.Demux.Keep(source.Stream, -1);
    }
    if (attempt == 0 && av_seek_frame(run.Demux.Fmt(), source.Stream, target.Dts, AVSEEK_FLAG_BACKWARD) < 0) continue;
    run.Lookup.Reset();
    while (!cancel_.load() && run.Demux.Next(source.Stream)) {
      const int64_t idx = run.Lookup.Find(run.Demux.Packet());
      if (idx == key) return true;
      if (idx > key) break;
    }
  }
  return false;
}

// Drops the pictures up to the one shown (they come out in display order); false when one of
// them had no time stamp.
bool CatchUp::Prune(CaughtUpRun& run) {
  const int64_t shown = shown_.load();
  while (!run.Frames.empty() && shown != AV_NOPTS_VALUE) {
    const int64_t pts = FramePts(run.Frames.front());
    if (pts == AV_NOPTS_VALUE) return false;
    if (pts > shown) break;
    av_frame_free(&run.Frames.front());
    run.Frames.pop_front();
  }
  return true;
}

// Receives what the decoder has; pictures up to the one shown are dropped.
bool CatchUp::Collect(CaughtUpRun& run) {
  for (;;) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return false;
    if (run.Dec.Receive(frame) < 0) {
      av_frame_free(&frame);
      return true;
    }
    run.Frames.push_back(frame);
    if (!Prune(run) || run.Frames.size() > kMaxFrames) return false;  // (the reader showed nothing)
  }
}

void CatchUp::Run(Source source, int64_t key) {
  auto run = std::make_unique<CaughtUpRun>();
  run->Lookup.Use(source.Table);
  const auto& entries = *source.Entries;
  const auto count = static_cast<int64_t>(entries.size());
  const auto ending = [this] { return cancel_.load() || handover_.load(); };
  bool ok = run->Dec.Open(source.Params) && !cancel_.load() && Place(source, *run, key);
  run->NextSend = key;
  bool packetReady = true;
  while (ok && !ending()) {
    // The next packet of the run (one the index does not know is skipped), as the reader sends it.
    int64_t idx = -1;
    for (;;) {
      if (!packetReady && !run->Demux.Next(source.Stream)) {
        idx = -1;
        break;
      }
      packetReady = false;
      idx = run->Lookup.Find(run->Demux.Packet());
      if (idx >= run->NextSend && run->Demux.Packet()->size > 0) break;
    }
    if (idx >= 0) {
      AVPacket* pkt = run->Demux.Packet();
      pkt->pts = entries[static_cast<size_t>(idx)].Pts;
      pkt->dts = entries[static_cast<size_t>(idx)].Dts;
      int err = run->Dec.Send(pkt);
      while (ok && err == AVERROR(EAGAIN)) {
        ok = Collect(*run);
        err = run->Dec.Send(pkt);
      }
      run->NextSend = idx + 1;
    }
    if (idx < 0 || run->NextSend >= count) {
      ok = ok && Collect(*run);
      run->NextSend = count;
      run->Dec.Send(nullptr);
      run->Drained = true;
    }
    ok = ok && Collect(*run) && Prune(*run);
    if (!ok || run->Drained) break;
    // Caught up once a picture past the one shown is there; while the reader has shown none
    // yet, the pictures are kept. Then it stays a few pictures ahead of the reader.
    if (!run->Frames.empty() && shown_.load() != AV_NOPTS_VALUE) ok = Hold(*run);
  }
  if (cancel_.load()) return;
  if (ok) result_ = std::move(run);
  SetReady();
}

}  // namespace tavelo::ffreader
