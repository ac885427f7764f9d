#include "app/frm_assoc.h"

#include <QLabel>
#include <QListWidget>

#include "app/assoc_list.h"
#include "formats/ff_tables.h"
#include "kit/kit_answers.h"
#include "kit/pic_button.h"

namespace tavelo {

namespace {

constexpr int kModalOK = 1;
constexpr int kModalCancel = 2;

QPicButton* MakeButton(QWidget* parent, const char* caption, int x, int y) {
  auto* b = new QPicButton(parent);
  b->SetCaption(QString::fromUtf8(caption));
  b->move(x, y);
  return b;
}

}  // namespace

TfrmAssoc::TfrmAssoc(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Tavelo File Associations"));
  setFixedSize(403, 316);
  lblInfo = new QLabel(QStringLiteral("Associate Tavelo with the following file formats:"), this);
  lblInfo->setGeometry(8, 8, 387, 16);
  lstExts = new QListWidget(this);
  lstExts->setGeometry(8, 28, 387, 236);
  lstExts->setSortingEnabled(false);
  btnSelectAll = MakeButton(this, "Select All", 8, 276);
  btnUnselectAll = MakeButton(this, "Clear All", 112, 276);
  btnOK = MakeButton(this, "OK", 191, 276);
  btnCancel = MakeButton(this, "Cancel", 295, 276);
  btnOK->SetDefault(true);
  btnOK->SetModalResult(kModalOK);
  btnCancel->SetCancel(true);
  btnCancel->SetModalResult(kModalCancel);
  btnSelectAll->OnClick = [this](QPicButton*) { btnSelectAllClick(); };
  btnUnselectAll->OnClick = [this](QPicButton*) { btnUnselectAllClick(); };
}

int32_t TfrmAssoc::Count() const { return lstExts->count(); }

bool TfrmAssoc::Checked(int32_t index) const {
  const QListWidgetItem* item = lstExts->item(index);
  return item != nullptr && item->checkState() == Qt::Checked;
}

void TfrmAssoc::SetChecked(int32_t index, bool checked) {
  if (QListWidgetItem* item = lstExts->item(index)) item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

void TfrmAssoc::btnSelectAllClick() {
  for (int32_t i = 0; i < Count(); ++i) SetChecked(i, true);
}

void TfrmAssoc::btnUnselectAllClick() {
  for (int32_t i = 0; i < Count(); ++i) SetChecked(i, false);
}

void ApplyAssocDialog(TfrmAssoc& form) {
  QAssocList* list = AssocList();
  if (list == nullptr || list->Count() == 0) return;
  RegisterDefaultAssociations();
  for (int32_t i = 0; i < list->Count(); ++i) {
    AssocEntry& e = list->Items(i);
    e.ProgID = (e.Kinds & fkHasPictures) != 0 ? kVideoClipProgID : kAudioClipProgID;
    e.Action = form.Checked(i) ? aaTake : aaGiveBack;
  }
  list->WritePlayersToSystem();
}

void ShowAssocDialog(QWidget* parent) {
  TfrmAssoc form(parent);
  OpenAssocList();
  QAssocList& list = *AssocList();
  for (int32_t i = 0; i < list.Count(); ++i) {
    auto* item = new QListWidgetItem(QString::fromStdString(list.Items(i).Description), form.lstExts);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(IsOwnProgID(list.Items(i).ProgID) ? Qt::Checked : Qt::Unchecked);
  }
  // Tests answer the form through the kit's seam (they may check items and click its buttons).
  KitAsk ask;
  ask.Kind = KitAskKind::Form;
  ask.Caption = "TfrmAssoc";
  ask.Form = &form;
  KitAnswer answer;
  int result = 0;
  if (KitAskProvider(ask, answer))
    result = form.result() != 0 ? form.result() : answer.Result;
  else
    result = form.exec();
  if (result == kModalOK) ApplyAssocDialog(form);
  CloseAssocList();
}

}  // namespace tavelo
