// The position slider (unit KTracker): the toolkit's track bar that reports the moment the user
// lets go of it. OnRelease runs after every mouse release, once the slider has done its own work
// (a click on the track has already moved the thumb); keys and positions set by the program raise
// nothing. The player uses two of them, for the position (seek on release) and the volume.
#pragma once
#include <QSlider>

#include <cstdint>
#include <functional>

namespace tavelo {

class QTracker : public QSlider {
 public:
  // Horizontal, like the toolkit's track bar; no selection range is ever drawn.
  explicit QTracker(QWidget* parent = nullptr);

  // Set by the owner; called with the slider as sender. An exception from it is logged and
  // swallowed, so a failing handler never breaks the slider's mouse handling.
  std::function<void(QTracker* sender)> OnRelease;

  // The track bar's names for the slider's values.
  int32_t Position() const { return value(); }
  void SetPosition(int32_t position) { setValue(position); }
  int32_t Min() const { return minimum(); }
  void SetMin(int32_t value) { setMinimum(value); }
  int32_t Max() const { return maximum(); }
  void SetMax(int32_t value) { setMaximum(value); }
  int32_t PageSize() const { return pageStep(); }
  void SetPageSize(int32_t value) { setPageStep(value); }
  int32_t LineSize() const { return singleStep(); }
  void SetLineSize(int32_t value) { setSingleStep(value); }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace tavelo
