#include "ui/restore/NewerFilesQuestion.h"
#include "ui/widgets/NativePath.h"

#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

#include "history/RestoreJobs.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"
#include "ui/model/CellTexts.h"
#include "ui/restore/RestoreTexts.h"
#include "ui/widgets/TextFormat.h"

namespace {

constexpr size_t kNewerExamples = 5;  // files the question names

QString T(const char* key) { return QString::fromStdString(RestoreText(key)); }

}  // namespace

bool SettleNewerFiles(QWidget* parent, const std::string& storeFolder,
                      std::vector<RestoreChoice>* choices) {
  std::vector<RestoreChoice*> newer;
  std::string examples;
  for (RestoreChoice& c : *choices) {
    std::string target, folder;
    plat::FindData info;
    if (!MakeRestoreTarget(c.version.storePath, false, storeFolder, "", &target, &folder) ||
        !plat::GetFileInfo(target, &info) || (info.attributes & plat::kAttrDirectory) != 0 ||
        info.writeTime <= c.version.time)
      continue;
    newer.push_back(&c);
    if (newer.size() <= kNewerExamples) examples += "\n" + ReadableFolderPath(target);
  }
  if (newer.empty()) return true;
  if (newer.size() > kNewerExamples) examples += "\n\u2026";
  QMessageBox box(QMessageBox::Question, T("OVERWRITE_TITLE"),
                  QString::fromStdString(FormatText(RestoreText("MSG_NEWER_FILES_IN_PLACE"),
                                                    {CountText("FILES", newer.size())}) +
                                         examples),
                  QMessageBox::NoButton, parent);
  box.setInformativeText(T("OVERWRITE_CHOICES"));
  // Room for whole paths: a message box is narrow by itself.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(560, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
  box.setObjectName("overwriteQuestion");
  box.setTextFormat(Qt::PlainText);
  QPushButton* replace = box.addButton(T("BUTTON_OVERWRITE"), QMessageBox::DestructiveRole);
  replace->setObjectName("overwriteReplace");
  QPushButton* beside = box.addButton(T("BUTTON_RESTORE_BESIDE"), QMessageBox::AcceptRole);
  beside->setObjectName("overwriteBeside");
  QPushButton* cancel = box.addButton(T("BUTTON_CANCEL"), QMessageBox::RejectRole);
  cancel->setObjectName("overwriteCancel");
  box.setDefaultButton(beside);
  box.setEscapeButton(cancel);
  box.exec();
  if (box.clickedButton() == replace) return true;
  if (box.clickedButton() != beside) return false;
  const int64_t now = plat::Now();
  for (RestoreChoice* c : newer) c->restoreName = RestoredBesideName(c->fileName, now);
  return true;
}
