// Tells that archiving or erasing failed, with the reason; one OK button.
#pragma once
#include <string>

#include "ui/widgets/CDlgSureMessage.h"

// Puts another picture of the image folder ("Alert") in a question's place.
void SetQuestionIcon(CDlgSureMessage* dialog, const char* image);

class CDlgErrBurning : public CDlgSureMessage {
  Q_OBJECT
 public:
  // title empty: the dialog's own title.
  explicit CDlgErrBurning(const std::string& reason, const std::string& title = {},
                          QWidget* parent = nullptr);
};
