// The warning before a rewritable disc that holds data is erased for
// archiving: Erase (kOk) or Cancel (the default).
#pragma once
#include "ui/widgets/CDlgSureMessage.h"

class CDlgEraseBurning : public CDlgSureMessage {
  Q_OBJECT
 public:
  // thenArchive: the disc is erased to be archived onto (else only erased).
  explicit CDlgEraseBurning(QWidget* parent = nullptr, bool thenArchive = true);
};
