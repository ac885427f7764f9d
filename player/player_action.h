// The player's commands (unit MedPlayer): each QPlayerAction holds a command's hint, key and
// handler and, for twelve of the fourteen, a 32 x 32 picture button on the player control. The
// main window copies the keys into its menus and runs the same objects for its items and keys, so
// a command behaves the same from a button, a key or a menu. Every handler runs under the
// player's PlayGuard and does nothing while another handler of the control is busy.
#pragma once
#include <QKeySequence>
#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

namespace tavelo {

class QMedPlayer;
class QPicButton;

// The packed 16 x 16, 32-bit picture (method 7) of a command's button; nullptr for the commands
// without a button. index is a PlayerActionIndex.
const uint8_t* PlayerButtonPicture(int32_t index);

class QPlayerAction : public QObject {
 public:
  using Handler = std::function<void(QPlayerAction* sender)>;

  // The command of that index with its own hint, key, handler and picture. A button is made when
  // the command has a picture: placed at (left, top), after which left moves on by 32.
  QPlayerAction(QMedPlayer* owner, int32_t index, int32_t top, int32_t& left);
  // Any command: picture is a packed picture or nullptr (no button). A picture that does not
  // unpack leaves the button without an icon and clears the owner's ConstructionComplete.
  QPlayerAction(QMedPlayer* owner, const std::string& hint, const QKeySequence& shortCut, const void* picture,
                Handler handler, int32_t top, int32_t& left);

  // Runs the handler with this action as sender (the main window's menu items and keys).
  void Click();
  void SetEnabled(bool value);
  bool Enabled() const { return enabled_; }

  QPicButton* Button = nullptr;
  QKeySequence ShortCut;
  std::string Hint;
  Handler OnExecute;

 private:
  bool enabled_ = true;
};

}  // namespace tavelo
