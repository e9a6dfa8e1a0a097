// Asked when archiving or erasing is cancelled: Stop (kOk) or go on
// (kCancel, the default).
#pragma once
#include "ui/CDlgSureMessage.h"

class CDlgStopBurning : public CDlgSureMessage {
  Q_OBJECT
 public:
  explicit CDlgStopBurning(QWidget* parent = nullptr);
};
