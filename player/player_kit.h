// The modal run of the player's own forms (the options dialog, the information window). Like
// every modal thing of the program it is first offered to the kit's answer seam, as a Form
// question whose caption is the form's class name, so tests answer it instead of a modal loop.
#pragma once
#include <QDialog>

#include <string>

namespace tavelo {

// The form's modal result: the answer's Result when the seam answered, else the result of exec().
int RunModalForm(QDialog& form, const std::string& className);

}  // namespace tavelo
