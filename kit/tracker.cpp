#include "kit/tracker.h"

#include <QMouseEvent>

#include "core/services/exception_log.h"

namespace tavelo {

// QSlider draws no selection range at all, so nothing is left to switch off here.
QTracker::QTracker(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

void QTracker::mousePressEvent(QMouseEvent* event) { QSlider::mousePressEvent(event); }

void QTracker::mouseReleaseEvent(QMouseEvent* event) {
  // The slider's own release first: a click on the track has moved the thumb by then, so the
  // handler reads the position the user ends up with.
  QSlider::mouseReleaseEvent(event);
  if (!OnRelease) return;
  try {
    OnRelease(this);
  } catch (...) {
    // Never let a handler's failure unwind through Qt's event delivery.
    LogException("QTracker.MouseUp");
  }
}

}  // namespace tavelo
