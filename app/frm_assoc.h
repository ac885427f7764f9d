// The dialog of View > File Formats...: one check box per extension the program reads; the
// checked ones are taken, the others given back.
#pragma once
#include <QDialog>

#include <cstdint>

class QLabel;
class QListWidget;
class QWidget;

namespace tavelo {

class QPicButton;

class TfrmAssoc : public QDialog {
 public:
  explicit TfrmAssoc(QWidget* parent = nullptr);

  QLabel* lblInfo = nullptr;
  QListWidget* lstExts = nullptr;  // the check list, one item per entry of the association list
  QPicButton* btnOK = nullptr;
  QPicButton* btnCancel = nullptr;
  QPicButton* btnSelectAll = nullptr;
  QPicButton* btnUnselectAll = nullptr;

  void btnSelectAllClick();    // check every item
  void btnUnselectAllClick();  // uncheck every item

  int32_t Count() const;
  bool Checked(int32_t index) const;
  void SetChecked(int32_t index, bool checked);
};

// View > File Formats...: shows the dialog over the current associations and carries out an OK.
void ShowAssocDialog(QWidget* parent = nullptr);
// What OK does: the file types registered, every checked extension taken, the others given back.
void ApplyAssocDialog(TfrmAssoc& form);

}  // namespace tavelo
