#include "kit/dialogs_ex.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>

#include "kit/kit_answers.h"

namespace tavelo {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// The name typed into a save dialog as the file it names, '"' included: Qt reads '"' as its
// syntax for several files ("a" "b"), which names another file, or only the folder. Empty when
// the typed name holds no '"' (Qt's own reading is then the same).
QString TypedSaveName(const QFileDialog& dialog) {
  const QLineEdit* edit = dialog.findChild<QLineEdit*>("fileNameEdit");
  if (dialog.acceptMode() != QFileDialog::AcceptSave || edit == nullptr || !edit->text().contains(QLatin1Char('"')))
    return QString();
  const QString typed = edit->text();
  return QDir::cleanPath(QDir::isAbsolutePath(typed) ? typed : dialog.directory().absoluteFilePath(typed));
}

// Qt's dialog, except that a save dialog takes a typed name with '"' as one file.
class KitFileDialog final : public QFileDialog {
 public:
  KitFileDialog(QWidget* parent, const QString& caption) : QFileDialog(parent, caption) {}

 protected:
  void accept() override {
    const QString name = TypedSaveName(*this);
    // (A dialog that asks before replacing a file keeps Qt's own way; the program's save dialogs
    // do not ask.)
    if (name.isEmpty() || !testOption(QFileDialog::DontConfirmOverwrite)) {
      QFileDialog::accept();
    } else if (QFileInfo(name).isDir()) {
      setDirectory(name);
      findChild<QLineEdit*>("fileNameEdit")->clear();
    } else {
      QDialog::accept();
    }
  }
};

}  // namespace

std::vector<FilterPair> ParseDialogFilter(const std::string& filter) {
  std::vector<FilterPair> pairs;
  if (filter.empty()) return pairs;
  const std::vector<std::string> fields = Split(filter, '|');
  // A description without its pattern list (an odd last field) names no pair.
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    FilterPair pair;
    pair.Description = fields[i];
    for (const std::string& p : Split(fields[i + 1], ';')) {
      const std::string t = Q(p).trimmed().toStdString();
      if (!t.empty()) pair.Patterns.push_back(t);
    }
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

std::vector<std::string> QtNameFilters(const std::string& filter) {
  std::vector<std::string> names;
  for (const FilterPair& pair : ParseDialogFilter(filter)) {
    std::string patterns;
    for (const std::string& p : pair.Patterns) {
      if (!patterns.empty()) patterns += ' ';
      // "*.*" always meant every file, also those without a point.
      if (p == "*.*")
        patterns += '*';
      else
        patterns += p;
    }
    if (patterns.empty()) patterns.assign(1, '*');
    names.push_back(pair.Description + " (" + patterns + ")");
  }
  return names;
}

std::vector<std::string> PlacesFolders() {
  static const QStandardPaths::StandardLocation kPlaces[] = {
      QStandardPaths::HomeLocation,     QStandardPaths::DesktopLocation,  QStandardPaths::DocumentsLocation,
      QStandardPaths::DownloadLocation, QStandardPaths::MusicLocation,    QStandardPaths::PicturesLocation,
      QStandardPaths::MoviesLocation,
  };
  std::vector<std::string> folders;
  for (const QStandardPaths::StandardLocation place : kPlaces) {
    const QString path = QStandardPaths::writableLocation(place);
    if (path.isEmpty() || !QDir(path).exists()) continue;
    const std::string folder = QDir::cleanPath(path).toStdString();
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
  }
  return folders;
}

std::unique_ptr<QFileDialog> TFileDialogEx::CreateQtDialog(QWidget* parent) const {
  auto dialog = std::make_unique<KitFileDialog>(parent, Q(Title));
  // Qt's own dialog, never the desktop's: the places column must be ours to fill or hide.
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  // The user sees each description as written; the patterns in parentheses are for Qt.
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  dialog->setAcceptMode(IsSave() ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog->setFileMode(!IsSave() && (Options & ofFileMustExist) ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  if (IsSave() && !(Options & ofOverwritePrompt)) dialog->setOption(QFileDialog::DontConfirmOverwrite);
  dialog->setSizeGripEnabled(true);

  QStringList names;
  for (const std::string& n : QtNameFilters(Filter)) names << Q(n);
  if (!names.isEmpty()) {
    dialog->setNameFilters(names);
    const int index = std::clamp<int32_t>(FilterIndex, 1, static_cast<int32_t>(names.size()));
    dialog->selectNameFilter(names[index - 1]);
  }
  if (!DefaultExt.empty()) dialog->setDefaultSuffix(Q(DefaultExt));
  if (!InitialDir.empty()) dialog->setDirectory(Q(InitialDir));
  if (!FileName.empty()) dialog->selectFile(Q(FileName));

  if (ShowPlacesBar) {
    QList<QUrl> urls;
    for (const std::string& folder : PlacesFolders()) urls << QUrl::fromLocalFile(Q(folder));
    dialog->setSidebarUrls(urls);
  } else if (QWidget* sidebar = dialog->findChild<QWidget*>("sidebar")) {
    sidebar->hide();
  }
  return dialog;
}

bool TFileDialogEx::Execute() {
  KitAsk ask;
  ask.Kind = IsSave() ? KitAskKind::SaveDialog : KitAskKind::OpenDialog;
  ask.Caption = Title;
  ask.FileName = FileName;
  ask.Filter = Filter;
  ask.FilterIndex = FilterIndex;
  ask.InitialDir = InitialDir;
  ask.Flags = Options;
  KitAnswer answer;
  answer.FileName = FileName;
  answer.FilterIndex = FilterIndex;
  if (KitAskProvider(ask, answer)) {
    if (answer.Result == 0) return false;
    FileName = answer.FileName;
    if (answer.FilterIndex > 0) FilterIndex = answer.FilterIndex;
    return true;
  }

  std::unique_ptr<QFileDialog> dialog = CreateQtDialog(QApplication::activeWindow());
  if (dialog->exec() != QDialog::Accepted) return false;
  TakeChoice(*dialog);
  return true;
}

void TFileDialogEx::TakeChoice(const QFileDialog& dialog) {
  const QStringList files = dialog.selectedFiles();
  FileName = files.isEmpty() ? std::string() : files.front().toStdString();
  // A save names one file: the name as typed, '"' included.
  if (const QString typed = TypedSaveName(dialog); !typed.isEmpty()) FileName = typed.toStdString();
  // The dialog reports the chosen filter as shown, without its patterns: the type list's position
  // tells which pair it is, also when two pairs share a description.
  int chosen = -1;
  if (const QComboBox* types = dialog.findChild<QComboBox*>("fileTypeCombo")) chosen = types->currentIndex();
  if (chosen < 0 || chosen >= dialog.nameFilters().size()) {
    const QString shown = dialog.selectedNameFilter();
    const QStringList names = dialog.nameFilters();
    chosen = names.indexOf(shown);
    for (int i = 0; chosen < 0 && i < names.size(); ++i)
      if (names[i].left(names[i].lastIndexOf(" (")) == shown) chosen = i;
  }
  if (chosen >= 0) FilterIndex = chosen + 1;
}

}  // namespace tavelo
