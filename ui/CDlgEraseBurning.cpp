#include "ui/CDlgEraseBurning.h"

#include "common/Texts.h"
#include "ui/CDlgErrBurning.h"

namespace {
QString T(const char* key) { return QString::fromStdString(GetText("DIALOG_ERASE_BURNING", key)); }
}  // namespace

CDlgEraseBurning::CDlgEraseBurning(QWidget* parent)
    : CDlgSureMessage(T("WARNING_TEXT"), QString(), T("BUTTON_OK"), T("BUTTON_CANCEL"), parent) {
  setObjectName("eraseBurning");
  setWindowTitle(T("WARNING_TITLE"));
  SetQuestionIcon(this, "Alert");
}
