#include "player/med_display.h"

#include <QCoreApplication>
#include <QImage>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QThread>
#include <QWidget>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/media/color_utils.h"
#include "core/media/pictor.h"
#include "core/services/exception_log.h"
#include "core/services/trace.h"
#include "gui/img_put.h"
#include "platform/gdi/gdi_painter.h"
#include "player/safe_sync.h"

namespace tavelo {

using namespace platform;

// The display child window: paints the record and reports mouse buttons.
class VelkarnDisplayClass final : public QWidget {
 public:
  VelkarnDisplayClass(QWidget* parent, DisplayRec* rec) : QWidget(parent), rec_(rec) {
    setObjectName(QStringLiteral("VelkarnDisplayWnd"));
    // Every paint covers the whole window itself: no erasing first (no flicker between frames).
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
  }

  // The window may go with its parent before the engine destroys the display: the record then
  // forgets it and gives up its pictures, as a destroyed child window does.
  ~VelkarnDisplayClass() override {
    if (rec_ == nullptr) return;
    const LockGuard set(rec_->SetLock);
    if (ImgAssigned(rec_->Next)) ImgFree(rec_->Next);
    const LockGuard lock(rec_->Lock);
    rec_->Window = nullptr;
    if (ImgAssigned(rec_->Resized)) ImgFree(rec_->Resized);
    rec_->Source = &rec_->Image;
    rec_->Shown = &rec_->Image;
    if (ImgAssigned(rec_->Image)) ImgFree(rec_->Image);
  }

  // DisplayDestroy: the record goes its own way.
  void Detach() { rec_ = nullptr; }

 protected:
  void paintEvent(QPaintEvent* e) override {
    if (rec_ == nullptr) return;
    QPainter painter(this);
    HDC dc = CreatePainterDC(&painter);
    const QRect r = e->rect();
    const DisplayArea exposed{r.x(), r.y(), r.width(), r.height()};
    try {
      DisplayPaint(rec_, dc, width(), height(), &exposed);
    } catch (...) {
      // A paint never lets an exception into the toolkit's event loop.
      LogException("MedDisplay.DisplayPaint");
    }
    if (dc != nullptr) DeleteDC(dc);
  }

  void mousePressEvent(QMouseEvent* e) override {
    if (rec_ == nullptr) return;
    uint8_t kind;
    switch (e->button()) {
      case Qt::LeftButton: kind = 0; break;
      case Qt::RightButton: kind = 1; break;
      case Qt::MiddleButton: kind = 2; break;
      default: return;
    }
    const QPoint p = e->position().toPoint();
    DisplayMouseDown(rec_, kind, p.x(), p.y());
  }

 private:
  DisplayRec* rec_;
};

namespace {

void FreeResized(DisplayRec& rec) REQUIRES(rec.Lock) {
  if (ImgAssigned(rec.Resized)) ImgFree(rec.Resized);
  rec.Shown = rec.Source;
}

void FillBack(DisplayRec& rec, HDC dc, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (right <= left || bottom <= top) return;
  HBRUSH brush = CreateSolidBrush(rec.BackColor);
  RECT r;
  r.left = left;
  r.top = top;
  r.right = right;
  r.bottom = bottom;
  FillRect(dc, &r, brush);
  DeleteObject(brush);
}

// n pixels of a 24-bit (B, G, R) or 32-bit picture as the painter draws them: 32-bit B, G, R, 255
// (the fourth byte of a 32-bit picture means nothing in a picture to show).
void ConvertPixels(const uint8_t* from, uint8_t* to, int64_t n, int32_t bpp) {
  if (bpp == 24) {
    // Four pixels from three words at a time (the pictures' bytes are little-endian words).
    int64_t i = 0;
    for (; i + 4 <= n; i += 4, from += 12, to += 16) {
      uint32_t w[3];
      std::memcpy(w, from, 12);
      const uint32_t out[4] = {
          w[0] | 0xFF000000u,
          (w[0] >> 24) | (w[1] << 8) | 0xFF000000u,
          (w[1] >> 16) | (w[2] << 16) | 0xFF000000u,
          (w[2] >> 8) | 0xFF000000u,
      };
      std::memcpy(to, out, 16);
    }
    for (; i < n; ++i, from += 3, to += 4) {
      const uint32_t v = from[0] | (uint32_t{from[1]} << 8) | (uint32_t{from[2]} << 16) | 0xFF000000u;
      std::memcpy(to, &v, 4);
    }
  } else {
    for (int64_t i = 0; i < n; ++i, from += 4, to += 4) {
      uint32_t v;
      std::memcpy(&v, from, 4);
      v |= 0xFF000000u;
      std::memcpy(to, &v, 4);
    }
  }
}

// dest := picture as the painter draws it. A 24-bit or 32-bit picture becomes 32-bit (B, G, R,
// 255) in one pass; other depths are copied as they are (an 8-bit picture keeps its palette for
// palette screens).
void PrepareForDisplay(const Qimg& src, Qimg& dest) {
  if ((src.Bpp != 24 && src.Bpp != 32) || src.Data == nullptr) {
    ImgCopy(src, dest);
    return;
  }
  const uint8_t* before = dest.Data;
  _imgalloc_(dest, src.Width, src.Height, 32, __LINE__, "MedDisplay.DisplaySetImage.next", false);
  if (dest.Data != before) AskForLargePages(dest.Data, dest.Size);
  ConvertPixels(src.Data, dest.Data, int64_t{src.Width} * src.Height, src.Bpp);
  dest.XRes = src.XRes;
  dest.YRes = src.YRes;
}

// Draws the part (sx, sy, sw, sh) of a 24-bit or 32-bit picture at (x, y), converting only that
// part, a few rows at a time, into the record's strip buffer.
void DrawConverted(DisplayRec& rec, QPainter& painter, const Qimg& pic, int32_t sx, int32_t sy, int32_t sw,
                   int32_t sh, int32_t x, int32_t y) {
  constexpr int64_t kStripPixels = int64_t{1} << 18;  // 1 MiB of converted rows at most
  const int32_t rows = static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(sh, kStripPixels / sw)));
  if (rec.Strip.size() < static_cast<size_t>(int64_t{rows} * sw)) rec.Strip.resize(static_cast<size_t>(int64_t{rows} * sw));
  const int32_t bytes = pic.Bpp / 8;
  const int64_t line = int64_t{pic.Width} * bytes;
  auto* strip = reinterpret_cast<uint8_t*>(rec.Strip.data());
  for (int32_t done = 0; done < sh; done += rows) {
    const int32_t n = std::min(rows, sh - done);
    for (int32_t j = 0; j < n; ++j)
      ConvertPixels(pic.Data + (sy + done + j) * line + int64_t{sx} * bytes, strip + int64_t{j} * sw * 4, sw, pic.Bpp);
    const QImage part(strip, sw, n, static_cast<qsizetype>(sw) * 4, QImage::Format_RGB32);
    painter.drawImage(QPoint(x, y + done), part);
  }
}

bool OnGuiThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app == nullptr || QThread::currentThread() == app->thread();
}

}  // namespace

// A picture of many megabytes is written and read whole for every frame: in pages of 4 KiB that
// is thousands of address translations each time, which some machines (virtual ones above all)
// pay dearly for. Large pages for the part of the buffer they can cover; only a request, and
// before the buffer is first written, so that its pages come large from the start.
void AskForLargePages(uint8_t* data, int64_t size) {
  constexpr uintptr_t kLarge = uintptr_t{2} << 20;
  if (data == nullptr || size < static_cast<int64_t>(2 * kLarge)) return;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + kLarge - 1) & ~(kLarge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + static_cast<uintptr_t>(size)) & ~(kLarge - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

DisplayRec* DisplayCreate(QWidget* parent, int32_t x, int32_t y, int32_t width, int32_t height) {
  TraceScope trace("MedDisplay.DisplayCreate");
  auto* rec = new DisplayRec;
  rec->Parent = parent;
  rec->X = x;
  rec->Y = y;
  rec->Width = width;
  rec->Height = height;
  // A child window needs a parent: without one no window is made, as the system refuses a child
  // window without a parent.
  if (parent != nullptr) {
    auto* w = new VelkarnDisplayClass(parent, rec);
    w->setGeometry(x, y, width, height);
    w->setEnabled(true);
    w->show();
    const LockGuard lock(rec->Lock);
    rec->Window = w;
  }
  return rec;
}

void DisplayDestroy(DisplayRec*& rec) {
  TraceScope trace("MedDisplay.DisplayDestroy");
  if (rec == nullptr) return;
  // The window goes first, so no paint can reach the record while it is freed.
  QWidget* window;
  {
    const LockGuard lock(rec->Lock);
    window = rec->Window;
    rec->Window = nullptr;
  }
  if (window != nullptr) {
    static_cast<VelkarnDisplayClass*>(window)->Detach();
    delete window;
  }
  {
    const LockGuard set(rec->SetLock);
    if (ImgAssigned(rec->Next)) ImgFree(rec->Next);
    const LockGuard lock(rec->Lock);
    FreeResized(*rec);
    if (ImgAssigned(rec->Image)) ImgFree(rec->Image);
  }
  delete rec;
  rec = nullptr;
}

void DisplaySetRect(DisplayRec* rec, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (rec == nullptr) return;
  if (rec->X == x && rec->Y == y && rec->Width == width && rec->Height == height) return;
  rec->X = x;
  rec->Y = y;
  rec->Width = width;
  rec->Height = height;
  QWidget* window;
  {
    const LockGuard lock(rec->Lock);
    window = rec->Window;
  }
  if (window != nullptr) window->setGeometry(x, y, width, height);
  DisplayRedraw(rec);
}

void DisplaySetColor(DisplayRec* rec, int32_t colour) {
  if (rec == nullptr) return;
  const uint32_t rgb = ColorRGB(colour) & 0x00FFFFFF;
  if (rgb == rec->BackColor) return;
  rec->BackColor = rgb;
  DisplayRedraw(rec);
}

void DisplaySetResizeSmall(DisplayRec* rec, bool flag) {
  if (rec == nullptr || (rec->ResizeSmall != 0) == flag) return;
  rec->ResizeSmall = flag ? -1 : 0;
  DisplayRedraw(rec);
}

void DisplaySetResizeBig(DisplayRec* rec, bool flag) {
  if (rec == nullptr || (rec->ResizeBig != 0) == flag) return;
  rec->ResizeBig = flag ? -1 : 0;
  DisplayRedraw(rec);
}

bool DisplayGetResizeSmall(const DisplayRec* rec) { return rec != nullptr && rec->ResizeSmall != 0; }
bool DisplayGetResizeBig(const DisplayRec* rec) { return rec != nullptr && rec->ResizeBig != 0; }

static void PaintHandOver(DisplayRec* rec);

namespace {

void PrepareNext(DisplayRec& rec, const Qimg& picture) REQUIRES(rec.SetLock) {
  rec.NextReady = false;
  // Made outside the paint's lock: a paint never waits for a conversion.
  PrepareForDisplay(picture, rec.Next);
  rec.NextReady = true;
}

// Shows the prepared picture; false when none waits.
bool ExchangeNext(DisplayRec& rec) REQUIRES(rec.SetLock) {
  if (!rec.NextReady) return false;
  rec.NextReady = false;
  {
    const LockGuard lock(rec.Lock);
    // Exchanged, not copied: the picture shown before becomes the next one's buffer.
    if (!ImgAssigned(rec.Image)) _imgalloc_(rec.Image, 1, 1, 32, __LINE__, "MedDisplay.DisplaySetImage.image", false);
    ImgXchg(rec.Image, rec.Next);
    rec.Source = &rec.Image;
    if (rec.Shown != &rec.Resized) rec.Shown = &rec.Image;
    rec.ClearPending = false;
    ++rec.ImageSerial;
  }
  // Only a playing movie hands over picture after picture: a picture set on the main thread (a
  // still, a step while paused) keeps no second buffer.
  if (OnGuiThread()) ImgFree(rec.Next);
  return true;
}

// After an exchange, outside SetLock: counts the picture and asks for its paint.
void AnnounceNext(DisplayRec* rec) {
  rec->Handed.fetch_add(1);
  if (OnGuiThread())
    DisplayRedraw(rec);
  else
    PaintHandOver(rec);
}

}  // namespace

void DisplayPrepareImage(DisplayRec* rec, const Qimg& picture) {
  if (rec == nullptr) return;
  const LockGuard set(rec->SetLock);
  PrepareNext(*rec, picture);
}

bool DisplayShowPrepared(DisplayRec* rec) {
  if (rec == nullptr) return false;
  {
    const LockGuard set(rec->SetLock);
    if (!ExchangeNext(*rec)) return false;
  }
  AnnounceNext(rec);
  return true;
}

void DisplaySetImage(DisplayRec* rec, const Qimg& picture) {
  if (rec == nullptr) return;
  {
    // Both halves under one hold of SetLock: a picture prepared on another thread meanwhile can
    // never be shown in this one's place.
    const LockGuard set(rec->SetLock);
    PrepareNext(*rec, picture);
    ExchangeNext(*rec);
  }
  AnnounceNext(rec);
}

void DisplayShowImage(DisplayRec* rec, Qimg& picture) {
  if (rec == nullptr) return;
  {
    const LockGuard set(rec->SetLock);
    {
      const LockGuard lock(rec->Lock);
      rec->Source = &picture;
      if (rec->Shown != &rec->Resized) rec->Shown = &picture;
      rec->ClearPending = false;
      ++rec->ImageSerial;
      // The picture is held once, by its owner.
      if (ImgAssigned(rec->Image)) ImgFree(rec->Image);
    }
    rec->NextReady = false;
    if (ImgAssigned(rec->Next)) ImgFree(rec->Next);
  }
  rec->Handed.fetch_add(1);
  DisplayRedraw(rec);
}

bool DisplayShowsImage(DisplayRec* rec, const Qimg& picture) {
  if (rec == nullptr) return false;
  const LockGuard lock(rec->Lock);
  return rec->Source == &picture;
}

// Image changes only under SetLock as well as Lock: a holder of SetLock may read it (the checker
// knows one guard a field).
static const Qimg& ImageUnderSetLock(const DisplayRec* rec) REQUIRES(rec->SetLock) NO_THREAD_SAFETY_ANALYSIS {
  return rec->Image;
}

void DisplayOwnImage(DisplayRec* rec) {
  if (rec == nullptr) return;
  const LockGuard set(rec->SetLock);
  Qimg* source = rec->Source;  // changes only under SetLock
  if (source == &rec->Image) return;
  rec->NextReady = false;
  bool made = false;
  try {
    // The caller's picture stays unchanged until this returns: read outside the paint's lock.
    if (ImgAssigned(*source)) {
      PrepareForDisplay(*source, rec->Next);
      made = true;
    }
  } catch (...) {
    // Without memory for a copy the display shows nothing rather than a picture being changed.
    LogException("MedDisplay.DisplayOwnImage");
  }
  {
    const LockGuard lock(rec->Lock);
    if (made) {
      if (!ImgAssigned(rec->Image))
        _imgalloc_(rec->Image, 1, 1, 32, __LINE__, "MedDisplay.DisplaySetImage.image", false);
      ImgXchg(rec->Image, rec->Next);
    }
    rec->Source = &rec->Image;
    if (rec->Shown != &rec->Resized) rec->Shown = &rec->Image;
  }
  if (OnGuiThread() || !made) {
    if (ImgAssigned(rec->Next)) ImgFree(rec->Next);
  } else {
    // A worker thread hands the next frames over into the second buffer: made (and its pages
    // written) now, before the run's timed frames, as a first hand-over would have made it.
    const Qimg& image = ImageUnderSetLock(rec);
    try {
      const uint8_t* before = rec->Next.Data;
      _imgalloc_(rec->Next, image.Width, image.Height, image.Bpp, __LINE__, "MedDisplay.DisplaySetImage.next",
                 false);
      if (rec->Next.Data != before) AskForLargePages(rec->Next.Data, rec->Next.Size);
      if (rec->Next.Data != nullptr && image.Data != nullptr) std::memcpy(rec->Next.Data, image.Data, image.Size);
    } catch (...) {
      // Only a preparation: the hand-over makes the buffer itself.
    }
  }
}

Qimg* DisplayGetImage(DisplayRec* rec) {
  if (rec == nullptr) return nullptr;
  const LockGuard lock(rec->Lock);
  return rec->Source;
}

bool DisplayGetImageSize(DisplayRec* rec, int32_t& width, int32_t& height) {
  width = height = 0;
  if (rec == nullptr) return false;
  const LockGuard lock(rec->Lock);
  const Qimg& shown = *rec->Source;
  if (!ImgAssigned(shown)) return false;
  width = shown.Width;
  height = shown.Height;
  return true;
}

void DisplayClear(DisplayRec* rec) {
  if (rec == nullptr) return;
  QWidget* w;
  {
    const LockGuard lock(rec->Lock);
    rec->ClearPending = true;
    w = rec->Window;
  }
  if (w == nullptr) return;
  // At once on the main thread (the only one that can destroy the window); from a worker
  // thread the main thread does it next.
  if (QThread::currentThread() == w->thread())
    w->repaint();
  else
    DisplayRedraw(rec);
}

void DisplaySetCallback(DisplayRec* rec, DisplayMouseProc proc, void* data) {
  if (rec == nullptr) return;
  rec->MouseProc = proc;
  rec->MouseData = data;
}

void DisplayRedraw(DisplayRec* rec) {
  if (rec == nullptr) return;
  // Posted, so any thread may ask; the lock keeps the window from going while the request is
  // made, and a window that is gone by the time it arrives drops it.
  const LockGuard lock(rec->Lock);
  QWidget* w = rec->Window;
  if (w != nullptr) QMetaObject::invokeMethod(w, [w] { w->update(); }, Qt::QueuedConnection);
}

static void PaintHandOver(DisplayRec* rec) {
  // One request waits at a time: the paint it makes shows the latest picture handed over, and a
  // picture handed over while it paints asks again.
  const LockGuard lock(rec->Lock);
  QWidget* w = rec->Window;
  if (w == nullptr || rec->HandOverPending.exchange(true)) return;
  // Painted when the main thread comes to it, not merged into its later, low-priority updates:
  // the picture reaches the screen as soon after its time as the main thread allows.
  QMetaObject::invokeMethod(
      w,
      [w, rec] {
        rec->HandOverPending.store(false);
        w->repaint();
      },
      Qt::QueuedConnection);
}

void DisplayPaint(DisplayRec* rec, HDC dc, int32_t width, int32_t height, const DisplayArea* exposed) {
  if (rec == nullptr) return;
  const ReentryGuard entry(rec->Painting);
  if (!entry || dc == nullptr) return;
  const LockGuard lock(rec->Lock);
  Qimg& img = *rec->Source;
  if (rec->ClearPending || !ImgAssigned(img) || img.Width <= 0 || img.Height <= 0) {
    rec->ClearPending = false;
    FillBack(*rec, dc, 0, 0, width, height);
    return;
  }
  if (img.Bpp == 8) PalPut(img.Palette, dc);
  TRect pic{0, 0, img.Width, img.Height};
  TRect win{0, 0, width, height};
  const int32_t cmp = PicRectCompare(pic, win);
  if ((rec->ResizeBig != 0 && cmp == 1) || (rec->ResizeSmall != 0 && cmp == -1)) {
    bool changed = false;
    PicFitSize(img.Width, img.Height, width, height, true, changed, rec->DrawX, rec->DrawY, rec->DrawWidth,
               rec->DrawHeight);
    if (changed) {
      if (!ImgAssigned(rec->Resized) || rec->Resized.Width != rec->DrawWidth ||
          rec->Resized.Height != rec->DrawHeight || rec->Resized.Bpp != img.Bpp)
        _imgalloc_(rec->Resized, rec->DrawWidth, rec->DrawHeight, img.Bpp, __LINE__,
                   "MedDisplay.DisplayAllocResizedImage_.itemP^.imgResizedP");
      ImgResize(img, rec->Resized, rec->DrawWidth, rec->DrawHeight);
      rec->Shown = &rec->Resized;
    } else {
      FreeResized(*rec);
    }
  } else {
    FreeResized(*rec);
    rec->DrawX = (width - img.Width + 1) / 2;
    rec->DrawY = (height - img.Height + 1) / 2;
  }
  Qimg& shown = *rec->Shown;
  // The part of the picture that lies in the exposed area: nothing else is read or drawn.
  int64_t left = rec->DrawX, top = rec->DrawY;
  int64_t right64 = left + shown.Width, bottom64 = top + shown.Height;
  int64_t ax = 0, ay = 0, aw = width, ah = height;
  if (exposed != nullptr) {
    ax = std::max<int64_t>(exposed->X, 0);
    ay = std::max<int64_t>(exposed->Y, 0);
    aw = std::min<int64_t>(int64_t{exposed->X} + exposed->Width, width) - ax;
    ah = std::min<int64_t>(int64_t{exposed->Y} + exposed->Height, height) - ay;
  }
  left = std::max(left, ax);
  top = std::max(top, ay);
  right64 = std::min(right64, ax + aw);
  bottom64 = std::min(bottom64, ay + ah);
  if (right64 > left && bottom64 > top) {
    const int32_t sx = static_cast<int32_t>(left - rec->DrawX), sy = static_cast<int32_t>(top - rec->DrawY);
    const int32_t sw = static_cast<int32_t>(right64 - left), sh = static_cast<int32_t>(bottom64 - top);
    // The display's own pictures (and their fitted copies) are prepared; a picture shown without a
    // copy is converted a part at a time, and only where the paint exposes it.
    const bool prepared = rec->Source == &rec->Image;
    QPainter* painter = (shown.Bpp == 32 || shown.Bpp == 24) && shown.Data != nullptr ? PainterOfDC(dc) : nullptr;
    if (painter != nullptr && !prepared) {
      painter->save();
      painter->setCompositionMode(QPainter::CompositionMode_Source);
      DrawConverted(*rec, *painter, shown, sx, sy, sw, sh, static_cast<int32_t>(left), static_cast<int32_t>(top));
      painter->restore();
    } else if (painter != nullptr && shown.Bpp == 32) {
      // The prepared picture is what the window's backing store holds: drawn without conversion.
      const QImage view(shown.Data, shown.Width, shown.Height, static_cast<qsizetype>(shown.Width) * 4,
                        QImage::Format_RGB32);
      painter->save();
      painter->setCompositionMode(QPainter::CompositionMode_Source);
      painter->drawImage(QPoint(static_cast<int32_t>(left), static_cast<int32_t>(top)), view, QRect(sx, sy, sw, sh));
      painter->restore();
    } else {
      ImgRect part{sx, sy, sw, sh};
      ImgPutEx(shown, part, dc, static_cast<int32_t>(left), static_cast<int32_t>(top), 0, 0, 0);
    }
  }
  if (rec->PaintedSerial != rec->ImageSerial) {
    rec->PaintedSerial = rec->ImageSerial;
    rec->Painted.fetch_add(1);
  }
  const int32_t right = rec->DrawX + shown.Width;
  const int32_t bottom = rec->DrawY + shown.Height;
  FillBack(*rec, dc, 0, rec->DrawY, rec->DrawX, bottom);      // left
  FillBack(*rec, dc, right, rec->DrawY, width, bottom);       // right
  FillBack(*rec, dc, 0, 0, width, rec->DrawY);                // top
  FillBack(*rec, dc, 0, bottom, width, height);               // bottom
}

void DisplayMouseDown(DisplayRec* rec, uint8_t kind, int32_t x, int32_t y) {
  if (rec == nullptr || rec->MouseProc == nullptr) return;
  uint32_t colour;
  {
    const LockGuard lock(rec->Lock);
    const Qimg* shown = rec->Shown;
    if (shown == nullptr || !ImgAssigned(*shown) || shown->Width <= 0 || shown->Height <= 0 || x < 0 ||
        x >= shown->Width || y < 0 || y >= shown->Height)
      return;
    colour = PicGetPixel(*shown, x, y);
  }
  // Outside the lock: the handler may hand the display a new picture.
  rec->MouseProc(kind, x, y, colour, rec->MouseData);
}

}  // namespace tavelo
