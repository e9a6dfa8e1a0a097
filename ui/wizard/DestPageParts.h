// What the destination page's source files share (CWPSelectDest*.cpp): the
// page's text section and small helpers for its fields.
#pragma once
#include <QLineEdit>
#include <QString>
#include <string>

#include "common/Texts.h"
#include "platform/base/Text.h"
#include "platform/volumes/Paths.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/CWizardPage.h"
#include "ui/wizard/WizardAnswers.h"

namespace dest_parts {

inline constexpr char kSection[] = "WIZARD_BACKUP_DEST";

inline QString Text(const char* key) { return WizText(kSection, key); }

// Why a store and another plan's folders cannot nest.
inline QString NestedPlanText(const DestFindings& f) {
  return QString::fromStdString(FormatText(
      GetText(kSection, f.otherStoreHolds ? "SOURCES_IN_OTHER_STORE" : "STORE_HOLDS_OTHER_PLAN"),
      {f.nestedPlan}));
}

inline QString NativeOf(const std::string& systemPath) {
  std::string native;
  return plat::ToNativePath(systemPath, &native) ? QString::fromStdString(native) : QString();
}

inline QLineEdit* MakeEdit(const char* name, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(255);
  return edit;
}

inline std::string Trimmed(const QLineEdit* edit) {
  return plat::TrimSpace(edit->text().toStdString());
}

}  // namespace dest_parts
