// The warning before a rewritable disc that holds data is erased for
// archiving: Erase (kOk) or Cancel (the default).
#pragma once
#include "ui/CDlgSureMessage.h"

class CDlgEraseBurning : public CDlgSureMessage {
  Q_OBJECT
 public:
  explicit CDlgEraseBurning(QWidget* parent = nullptr);
};
