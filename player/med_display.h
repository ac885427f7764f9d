// The display window (unit MedDisplay): the child window in which the engine shows its current
// picture. A display record holds a copy of the picture to show, the rules for fitting pictures
// larger or smaller than the window, and the report of mouse clicks to the engine.
//
// The window is a QWidget of class VelkarnDisplayClass (object name "VelkarnDisplayWnd"). The
// video thread hands each new frame over with DisplaySetImage (or its two halves, the conversion
// before the frame is due and the exchange at its time), which converts a 24-bit picture once,
// into a 32-bit picture (B, G, R, 255) that the painter draws as it is; the conversion goes into
// a second buffer, and only the exchange of the two and every paint take the record's own lock,
// so a paint never reads a picture that the next frame is replacing and never waits for a
// conversion. A paint draws only the part of the picture that the paint exposes.
//
// A picture that stays (a still, a paused movie) is not copied at all: DisplayShowImage makes the
// display show the caller's own picture, and each paint converts only the part it exposes. A
// photograph of many megapixels is then held once, not twice. The caller must not change or free
// that picture while a paint may read it, that is: only on the main thread, or after
// DisplayOwnImage has given the display a copy of its own.
//
// DisplaySetImage, DisplayPrepareImage, DisplayShowPrepared, DisplayShowImage, DisplayOwnImage,
// DisplayRedraw and DisplayClear may be called from any thread: they only change the record and
// ask the main thread to repaint. Everything else runs on the main thread.
//
// All routines accept a nullptr record and then do nothing.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/media/img_basic.h"
#include "platform/gdi/gdi.h"
#include "platform/sync/thread_safety.h"

class QWidget;

namespace tavelo {

// Mouse report: kind 0 left, 1 right, 2 middle button; the position in window coordinates and
// the colour of the shown picture there (red in byte 0).
using DisplayMouseProc = void (*)(uint8_t kind, int32_t x, int32_t y, uint32_t colour, void* data);

struct DisplayRec {
  QWidget* Parent = nullptr;
  QWidget* Window GUARDED_BY(Lock) = nullptr;  // nullptr when no window was made (no parent) or it is gone
  int32_t X = 0, Y = 0, Width = 0, Height = 0;
  uint32_t BackColor = 0;  // red in byte 0
  int32_t ResizeSmall = 0;  // bool32: stretch pictures smaller than the window in both sides
  int32_t ResizeBig = 0;    // bool32: shrink pictures that do not fit the window
  Qimg Image GUARDED_BY(Lock);  // the picture to show: a 24-bit picture arrives as 32-bit
  // What the display shows: Image, or the caller's picture of DisplayShowImage. Under Lock; set
  // under SetLock too, so either lock is enough to read it (which the checker cannot say).
  Qimg* Source = &Image;
  bool Painting = false;  // a paint runs (main thread only)
  DisplayMouseProc MouseProc = nullptr;
  void* MouseData = nullptr;
  Qimg* Shown GUARDED_BY(Lock) = &Image;  // Source, or Resized while the picture is fitted
  int32_t DrawX GUARDED_BY(Lock) = 0, DrawY GUARDED_BY(Lock) = 0;
  int32_t DrawHeight GUARDED_BY(Lock) = 0, DrawWidth GUARDED_BY(Lock) = 0;
  Qimg Resized GUARDED_BY(Lock);  // the fitted copy, kept while fitting is needed
  // A few rows of a picture shown without a copy, converted for the painter (paints only).
  std::vector<uint32_t> Strip;
  // The next paint fills the window with BackColor instead of showing Image.
  bool ClearPending GUARDED_BY(Lock) = false;
  // Covers Image, Resized, Shown, the Draw fields, ClearPending, Window and the serials: the
  // video thread's exchange and redraw requests, and the main thread's paints, mouse reports and
  // window's end.
  Mutex Lock;
  // The next picture, made outside Lock; kept between the frames of a playing movie.
  Qimg Next GUARDED_BY(SetLock);
  bool NextReady GUARDED_BY(SetLock) = false;  // Next holds a prepared picture not shown yet
  Mutex SetLock;                               // one DisplaySetImage at a time
  uint64_t ImageSerial GUARDED_BY(Lock) = 0;    // counts the pictures set
  uint64_t PaintedSerial GUARDED_BY(Lock) = 0;  // the picture the last paint drew
  // Pictures handed to the display, and pictures a paint put on the window: updates that come
  // faster than the window is painted merge, and the pictures between are never drawn.
  std::atomic<uint64_t> Handed{0};
  std::atomic<uint64_t> Painted{0};
  // A worker's hand-over asked the main thread to paint, and that paint has not begun.
  std::atomic<bool> HandOverPending{false};

  DisplayRec() = default;
  DisplayRec(const DisplayRec&) = delete;
  DisplayRec& operator=(const DisplayRec&) = delete;
};

// Asks for large pages for the part of a picture buffer of many megabytes that they can cover,
// before the buffer is first written (a request only; nothing happens for small buffers).
void AskForLargePages(uint8_t* data, int64_t size);

// Makes the record and, under parent, the window at that place (shown and enabled). The record
// is returned also when no window was made.
DisplayRec* DisplayCreate(QWidget* parent, int32_t x, int32_t y, int32_t width, int32_t height);
// Frees the pictures, the window and the record; rec becomes nullptr.
void DisplayDestroy(DisplayRec*& rec);
void DisplaySetRect(DisplayRec* rec, int32_t x, int32_t y, int32_t width, int32_t height);
// colour is a toolkit colour (a negative value names a system colour).
void DisplaySetColor(DisplayRec* rec, int32_t colour);
void DisplaySetResizeSmall(DisplayRec* rec, bool flag);
void DisplaySetResizeBig(DisplayRec* rec, bool flag);
bool DisplayGetResizeSmall(const DisplayRec* rec);
bool DisplayGetResizeBig(const DisplayRec* rec);
// Copies picture into the record (a 24-bit one as 32-bit) and asks for a repaint:
// DisplayPrepareImage, then DisplayShowPrepared.
void DisplaySetImage(DisplayRec* rec, const Qimg& picture);
// The two halves of DisplaySetImage, so that a frame can be made ready before it is due and shown
// at its time with nothing left but an exchange: Prepare converts picture into the second buffer
// (the display goes on showing what it shows); ShowPrepared shows it and asks for a paint, which
// from a worker thread comes as soon as the main thread can make it. ShowPrepared returns false,
// and does nothing, when no prepared picture waits (another picture was set or shown since).
void DisplayPrepareImage(DisplayRec* rec, const Qimg& picture);
bool DisplayShowPrepared(DisplayRec* rec);
// Shows picture itself, without a copy, and asks for a repaint; a copy the display held goes.
// The display only reads picture (see above for when its owner may change it).
void DisplayShowImage(DisplayRec* rec, Qimg& picture);
// True when the display shows picture itself (DisplayShowImage) rather than a copy.
bool DisplayShowsImage(DisplayRec* rec, const Qimg& picture);
// A display that shows its caller's picture takes a copy of its own (as DisplaySetImage would),
// after which the caller may change its picture on any thread. Nothing when it holds its own.
// When the copy cannot be made, the display lets go of the picture and shows nothing.
void DisplayOwnImage(DisplayRec* rec);
// The picture the display shows: Image, or the picture of DisplayShowImage.
Qimg* DisplayGetImage(DisplayRec* rec);
// The size of the picture the display shows, read under the record's lock (a worker thread may be
// exchanging its pictures meanwhile); false, and 0 x 0, when it shows none.
bool DisplayGetImageSize(DisplayRec* rec, int32_t& width, int32_t& height);
// Fills the whole window with BackColor; Image stays, so a later paint shows it again.
void DisplayClear(DisplayRec* rec);
void DisplaySetCallback(DisplayRec* rec, DisplayMouseProc proc, void* data);
// Invalidates the whole window without erasing; the main thread paints it.
void DisplayRedraw(DisplayRec* rec);

// The paint of a width x height window onto dc (the window's paint, and tests on images). Only
// the exposed part (x, y, width, height in the window; all of it when nullptr) is drawn.
struct DisplayArea {
  int32_t X = 0, Y = 0, Width = 0, Height = 0;
};
void DisplayPaint(DisplayRec* rec, platform::HDC dc, int32_t width, int32_t height,
                  const DisplayArea* exposed = nullptr);
// A mouse button went down at (x, y): kind 0 left, 1 right, 2 middle.
void DisplayMouseDown(DisplayRec* rec, uint8_t kind, int32_t x, int32_t y);

}  // namespace tavelo
