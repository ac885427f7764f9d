// The shape every picture routine that can fail takes: its name on the call-name stack, its work
// inside a monitor frame. A failure inside releases what the work tracked and unwinds (EMon) to
// the caller's frame; AbortMonitor leaves the work silently.
#pragma once
#include <cstdint>
#include <utility>

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"

namespace tavelo::media {

// Does the record hold the pixels its fields promise? Records come from loaders; one whose buffer
// is missing or smaller than its dimensions say must never reach a pixel loop.
inline bool HoldsPixels(const Qimg& img) {
  if (img.Width < 1 || img.Height < 1 || img.Data == nullptr) return false;
  if (!ImgDepthValid(img.Bpp) || img.BytesPP != (img.Bpp + 7) / 8) return false;
  return static_cast<int64_t>(img.Size) >= static_cast<int64_t>(img.Width) * img.Height * img.BytesPP;
}

// Inside a frame: fails with (7, 2) "Invalid image format." unless img holds its pixels.
inline bool RequirePixels(const Qimg& img, int32_t line) {
  if (HoldsPixels(img)) return true;
  SetError(ecImage, 2, line);
  AbortMonitor();
  return false;
}

}  // namespace tavelo::media
