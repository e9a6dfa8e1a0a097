#include "ui/disc/CDlgStopBurning.h"

#include "common/Texts.h"

namespace {
QString T(const char* key) { return QString::fromStdString(GetText("DIALOG_STOP_BURNING", key)); }
}  // namespace

CDlgStopBurning::CDlgStopBurning(QWidget* parent, bool betweenDiscs)
    : CDlgSureMessage(T(betweenDiscs ? "SURE_TO_STOP_BETWEEN_DISCS" : "SURE_TO_STOP_BURNING"),
                      QString(), T("BUTTON_OK"), T("BUTTON_CANCEL"), parent) {
  setObjectName("stopBurning");
  setWindowTitle(T("TITLE"));
}
