// The program's open and save file dialogs: Qt's own file dialog (never the desktop portal, so the
// places column stays ours to fill or hide), resizable, with the places column listing the user's
// folders when ShowPlacesBar is on. Filters are written as "description|pattern;pattern|...";
// filter indexes count pairs from 1.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QFileDialog;
class QWidget;

namespace tavelo {

// Dialog options (bit values of the option set).
enum : uint32_t {
  ofReadOnly = 0x1,
  ofOverwritePrompt = 0x2,
  ofHideReadOnly = 0x4,
  ofNoChangeDir = 0x8,
  ofShowHelp = 0x10,
  ofNoValidate = 0x20,
  ofAllowMultiSelect = 0x40,
  ofExtensionDifferent = 0x80,
  ofPathMustExist = 0x100,
  ofFileMustExist = 0x200,
};

// One pair of a filter text: its description and its patterns (split at ';', trimmed).
struct FilterPair {
  std::string Description;
  std::vector<std::string> Patterns;
};
std::vector<FilterPair> ParseDialogFilter(const std::string& filter);
// The Qt name filters of a filter text, one per pair: description + " (" + patterns + ")".
// The dialog hides the parenthesised part, so the user sees the descriptions as written.
std::vector<std::string> QtNameFilters(const std::string& filter);

// The folders of the places column: the user's home and XDG folders that exist, each once.
std::vector<std::string> PlacesFolders();

class TFileDialogEx {
 public:
  virtual ~TFileDialogEx() = default;

  std::string Title;
  std::string FileName;
  std::string Filter;
  int32_t FilterIndex = 1;
  std::string InitialDir;
  std::string DefaultExt;
  uint32_t Options = ofHideReadOnly;
  int32_t HelpContext = 0;
  bool ShowPlacesBar = false;

  // Shows the dialog; true when the user confirmed. FileName and FilterIndex then hold the choice.
  bool Execute();

  // The Qt dialog as Execute shows it (tests look at it without running it).
  std::unique_ptr<QFileDialog> CreateQtDialog(QWidget* parent = nullptr) const;
  // Takes the confirmed choice of such a dialog: FileName and the 1-based FilterIndex.
  void TakeChoice(const QFileDialog& dialog);

 protected:
  virtual bool IsSave() const = 0;
};

class TOpenDialogEx : public TFileDialogEx {
 public:
  TOpenDialogEx() { ShowPlacesBar = true; }

 protected:
  bool IsSave() const override { return false; }
};

class TSaveDialogEx : public TFileDialogEx {
 public:
  TSaveDialogEx() { ShowPlacesBar = false; }

 protected:
  bool IsSave() const override { return true; }
};

}  // namespace tavelo
