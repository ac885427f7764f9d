#include "app/frm_assoc.h"

#include <QFontMetrics>
#include <QLabel>
#include <QListWidget>

#include <algorithm>

#include "app/assoc_list.h"
#include "formats/ff_tables.h"
#include "kit/kit_answers.h"
#include "kit/pic_button.h"

namespace tavelo {

namespace {

constexpr int kModalOK = 1;
constexpr int kModalCancel = 2;

QPicButton* MakeButton(QWidget* parent, const char* caption) {
  auto* b = new QPicButton(parent);
  b->SetCaption(QString::fromUtf8(caption));
  return b;
}

// The four buttons share one width, wide enough for the longest caption in the form's font:
// Select All and Clear All at the left edge, OK and Cancel at the right one, a gap between the
// pairs. A font too wide for the designed client area widens the form rather than stacking the
// buttons over each other.
void PlaceButtons(QWidget& form, QPicButton* const (&row)[4], int top) {
  constexpr int kMargin = 8, kGap = 6, kPairGap = 12, kMinWidth = 88, kPadding = 24;
  int width = kMinWidth;
  for (QPicButton* b : row) width = std::max(width, b->fontMetrics().horizontalAdvance(b->Caption()) + kPadding);
  const int needed = 2 * kMargin + 4 * width + 2 * kGap + kPairGap;
  const int client = std::max(form.width(), needed);
  if (client != form.width()) form.setFixedSize(client, form.height());
  const int lefts[4] = {kMargin, kMargin + width + kGap, client - kMargin - 2 * width - kGap,
                        client - kMargin - width};
  for (int i = 0; i < 4; ++i) row[i]->setGeometry(lefts[i], top, width, row[i]->height());
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
  btnSelectAll = MakeButton(this, "Select All");
  btnUnselectAll = MakeButton(this, "Clear All");
  btnOK = MakeButton(this, "OK");
  btnCancel = MakeButton(this, "Cancel");
  PlaceButtons(*this, {btnSelectAll, btnUnselectAll, btnOK, btnCancel}, 276);
  lblInfo->resize(width() - 16, lblInfo->height());
  lstExts->resize(width() - 16, lstExts->height());
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
