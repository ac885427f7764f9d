// The media information window (units Informer and wInformer): a media file's description turned
// into a table of labelled FILE, VIDEO and AUDIO rows, shown in the window "File Information" and
// exported as plain text to the clipboard or a file.
#pragma once
#include <QDialog>

#include <cstdint>
#include <string>

#include "formats/conform.h"
#include "player/flex_vars.h"

class QTreeWidget;
class QAction;

namespace tavelo {

// Columns of the information table.
enum : int32_t { icCaption = 0, icValue, icUnit, icAltValue, icAltUnit, kInfoColumns };

struct InfoListRec {
  std::string FileName;
  FlexTable Table;
};

void InfoListClear(InfoListRec& info);
// Describes the file through the dispatcher (hourglass meanwhile), then InfoListAddInfo.
void InfoListAddFile(InfoListRec& info, const std::string& fileName);
// Sets the record's file name and appends the 24 rows of the description.
void InfoListAddInfo(InfoListRec& info, const UniInfoRec& desc);

// How a cell is shown: integers with "," every three digits, booleans "TRUE" or "FALSE", floating
// point with 2 decimals when it has a fraction (else none), texts as they are, else empty.
std::string InfoCellText(const FlexVar& cell);
// The value of that column with its unit (the next column): value + " " + unit, just the value when
// the unit is empty, nothing when the value is empty.
std::string InfoValueWithUnit(const InfoListRec& info, int32_t valueColumn, int32_t row);
// One line per row, CR LF ended: the section captions as they are, the others indented by four
// blanks, then ": " and the value with its unit.
std::string InfoListText(const InfoListRec& info);

// The widths of the window's three columns in room pixels: each as its contents want while they
// fit; else the value column (the one with paths and long format names) gives up what is
// missing, down to kInfoMinValueWidth, so the caption and the alternative value stay whole.
constexpr int32_t kInfoMinValueWidth = 120;
void InfoFitColumns(int32_t room, const int32_t wanted[3], int32_t widths[3]);

// The window. Its File menu: open another file, save as text, copy, close.
class TfrmFileInfo : public QDialog {
 public:
  explicit TfrmFileInfo(QWidget* owner);

  // The columns' widths as their contents want them (set when the grid is filled), and the
  // outer width that shows them all without eliding.
  int32_t WantedWidths[3] = {0, 0, 0};
  int32_t WantedWindowWidth() const;
  // Sizes the columns to the list's visible width (eliding the value column when it must).
  void FitColumns();

  void OpenAnotherFile();
  void SaveInfoAs();
  void CopyInfo();

  QTreeWidget* lstInfo = nullptr;
  QAction* actOpen = nullptr;
  QAction* actSave = nullptr;
  QAction* actCopy = nullptr;
  QAction* actClose = nullptr;
  InfoListRec Info;  // the window's own copy

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

void InfoFillGrid_(TfrmFileInfo& form, const InfoListRec& info);
// Runs the window for the record (asking for a file first when the record is empty).
void ShowFileInfoWindow(const InfoListRec& info);

}  // namespace tavelo
