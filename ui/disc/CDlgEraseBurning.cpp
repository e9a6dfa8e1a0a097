#include "ui/disc/CDlgEraseBurning.h"

#include "common/Texts.h"
#include "ui/disc/CDlgErrBurning.h"

namespace {
QString T(const char* key) { return QString::fromStdString(GetText("DIALOG_ERASE_BURNING", key)); }
}  // namespace

CDlgEraseBurning::CDlgEraseBurning(QWidget* parent, bool thenArchive)
    : CDlgSureMessage(T(thenArchive ? "WARNING_TEXT" : "WARNING_TEXT_ERASE_ONLY"), QString(),
                      T("BUTTON_OK"), T("BUTTON_CANCEL"), parent) {
  setObjectName("eraseBurning");
  setWindowTitle(T("WARNING_TITLE"));
  SetQuestionIcon(this, "Alert");
}
