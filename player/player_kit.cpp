#include "player/player_kit.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include "core/services/basic.h"
#include "core/services/text_utils.h"
#include "kit/kit_answers.h"
#include "platform/msgbox/msgbox.h"

namespace tavelo {

namespace {

class ReleaseSlider final : public QSlider {
 public:
  ReleaseSlider(QWidget* parent, Qt::Orientation o, std::function<void()> onRelease)
      : QSlider(o, parent), onRelease_(std::move(onRelease)) {
    setTickPosition(QSlider::NoTicks);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override {
    QSlider::mouseReleaseEvent(e);
    if (onRelease_) onRelease_();
  }

 private:
  std::function<void()> onRelease_;
};

std::string QtFilter(const std::string& filter) {
  // "Text Files (*.txt)|*.txt" -> "Text Files (*.txt) (*.txt)" pairs separated by ";;".
  std::string out;
  size_t pos = 0;
  while (pos < filter.size()) {
    size_t bar = filter.find('|', pos);
    const std::string name = filter.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
    std::string patterns;
    if (bar != std::string::npos) {
      const size_t next = filter.find('|', bar + 1);
      patterns = filter.substr(bar + 1, next == std::string::npos ? std::string::npos : next - bar - 1);
      pos = next == std::string::npos ? filter.size() : next + 1;
    } else {
      pos = filter.size();
    }
    ReplaceAll(patterns, ";", " ");
    if (!out.empty()) out += ";;";
    out += name + " (" + patterns + ")";
  }
  return out;
}

void KeepFolder(std::string* folder, const std::string& fileName) {
  if (folder == nullptr || fileName.empty()) return;
  const size_t slash = fileName.rfind('/');
  if (slash != std::string::npos) *folder = fileName.substr(0, slash + 1);
}

void RunFileDialog(KitAskKind kind, const std::string& title, std::string* folder, const std::string& initial,
                   std::string& fileName, int* filterIndex, const std::string& filter) {
  fileName.clear();
  KitAsk ask;
  ask.Kind = kind;
  ask.Caption = title;
  ask.FileName = initial;
  ask.Filter = filter;
  ask.FilterIndex = filterIndex != nullptr ? *filterIndex : 1;
  ask.InitialDir = folder != nullptr ? *folder : std::string();
  KitAnswer answer;
  if (KitAskProvider(ask, answer)) {
    fileName = answer.Result != 0 ? answer.FileName : std::string();
    if (filterIndex != nullptr && answer.FilterIndex > 0) *filterIndex = answer.FilterIndex;
  } else {
    const QString dir = QString::fromStdString(initial.empty() ? ask.InitialDir : initial);
    const QString name = kind == KitAskKind::OpenDialog
                             ? QFileDialog::getOpenFileName(nullptr, QString::fromStdString(title), dir,
                                                            QString::fromStdString(QtFilter(filter)))
                             : QFileDialog::getSaveFileName(nullptr, QString::fromStdString(title), dir,
                                                            QString::fromStdString(QtFilter(filter)));
    fileName = name.toStdString();
  }
  KeepFolder(folder, fileName);
}

}  // namespace

QSlider* NewPlayerSlider(QWidget* parent, Qt::Orientation orientation, std::function<void()> onRelease) {
  return new ReleaseSlider(parent, orientation, std::move(onRelease));
}

QAbstractButton* NewPlayerButton(QWidget* parent, std::function<void()> onClick) {
  auto* button = new QToolButton(parent);
  button->setAutoRaise(true);
  button->setIconSize(QSize(16, 16));
  button->setFocusPolicy(Qt::NoFocus);
  QObject::connect(button, &QToolButton::clicked, button, [f = std::move(onClick)] { f(); });
  return button;
}

void SetPlayerButtonIcon(QAbstractButton* button, const QImage& icon) {
  button->setIcon(QIcon(QPixmap::fromImage(icon)));
}

void ShowError(const std::string& text) {
  KitAsk ask;
  ask.Kind = KitAskKind::Message;
  ask.Text = text;
  ask.Buttons = {"OK"};
  KitAnswer answer;
  if (KitAskProvider(ask, answer)) return;
  platform::ShowMessageBox(nullptr, text, QApplication::applicationName().toStdString(), platform::miError);
}

void ExecOpenDialog(const std::string& title, std::string* folder, const std::string& filter, std::string& fileName,
                    int* filterIndex) {
  RunFileDialog(KitAskKind::OpenDialog, title, folder, "", fileName, filterIndex, filter);
}

void ExecSaveDialog(const std::string& title, std::string* folder, const std::string& initialFileName,
                    std::string& fileName, int* filterIndex, const std::string& filter) {
  RunFileDialog(KitAskKind::SaveDialog, title, folder, initialFileName, fileName, filterIndex, filter);
}

void SetCursorWait() { QApplication::setOverrideCursor(Qt::WaitCursor); }

void SetCursorArrow() {
  while (QApplication::overrideCursor() != nullptr) QApplication::restoreOverrideCursor();
}

QAbstractButton* NewDialogButton(QDialog* form, const std::string& caption, int modalResult) {
  auto* button = new QPushButton(QString::fromStdString(caption), form);
  button->setDefault(modalResult == 1);
  QObject::connect(button, &QPushButton::clicked, form, [form, modalResult] { form->done(modalResult); });
  return button;
}

void SetControlInt(QLineEdit* edit, int32_t n) { edit->setText(QString::number(n)); }

int32_t GetControlInt(QLineEdit* edit, int32_t def) {
  bool ok = false;
  const int32_t n = QString::fromStdString(KeepIntChars(edit->text().toStdString())).toInt(&ok);
  return ok ? n : def;
}

void SetControlFloat(QLineEdit* edit, int32_t decimals, double value) {
  edit->setText(QString::fromStdString(FloatToTextTrim(0, decimals == 2147483647 ? 10 : decimals, value)));
}

double GetControlFloat(QLineEdit* edit, double def) {
  return StrToFloatDefault(KeepFloatChars(edit->text().toStdString()), def);
}

int RunModalForm(QDialog& form, const std::string& className) {
  KitAsk ask;
  ask.Kind = KitAskKind::Form;
  ask.Caption = className;
  ask.Form = &form;
  KitAnswer answer;
  if (KitAskProvider(ask, answer)) return answer.Result;
  return form.exec();
}

}  // namespace tavelo
