// Asked when archiving or erasing is cancelled: Stop (kOk) or go on
// (kCancel, the default).
#pragma once
#include "ui/widgets/CDlgSureMessage.h"

class CDlgStopBurning : public CDlgSureMessage {
  Q_OBJECT
 public:
  // betweenDiscs: the job waits for the next disc, none is being written.
  explicit CDlgStopBurning(QWidget* parent = nullptr, bool betweenDiscs = false);
};
