// What the plan wizard's tests share: drives of each kind, answers files
// written by hand, and Next page by page.
#pragma once
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QListWidget>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>
#include <QTreeWidgetItemIterator>
#include <mutex>
#include <tuple>

#include "UiTestKit.h"
#include "destinations/StoreMarker.h"
#include "engine/CTask.h"
#include "plans/ExtensionList.h"
#include "plans/PlanFile.h"
#include "plans/PlanSources.h"
#include "plans/Schedule.h"
#include "platform/files/Files.h"
#include "support/CephGateway.h"
#include "support/FtpServer.h"
#include "ui/widgets/CDlgSureMessage.h"
#include "ui/wizard/CExtFileDlg.h"
#include "ui/wizard/CFileTreeCtrl.h"
#include "ui/wizard/CPlanWizardDlg.h"
#include "ui/wizard/CSpecificExtList.h"
#include "ui/wizard/CWPBackupType.h"
#include "ui/wizard/CWPSelectDest.h"
#include "ui/wizard/CWPSelectSource.h"
#include "ui/wizard/CWPSelectWhenToBackup.h"
#include "ui/wizard/CWizardCalendar.h"
#include "ui/wizard/WizardAnswers.h"
#include "ui/wizard/WizardWorker.h"

namespace bvtest {

inline std::string Profile(const std::string& ini, const char* section, const char* key) {
  return plat::GetProfileString(ini, section, key, "<none>", 4095);
}

// E: a local disk, U: a USB hard drive, F: a USB key, N: a network drive.
class WizardTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    ResetDefaultPlans();
    ASSERT_TRUE(ReadExtensionList(&extensions_));
  }
  void TearDown() override {
    UiTest::TearDown();
    ResetDefaultPlans();
  }
  std::string Volumes() const override {
    return Drive("E", "evol", "Type=fixed\nTotalBytes=536870912000\nFreeBytes=128849018880\n") +
           Drive("U", "uvol",
                 "Type=fixed\nBus=usb\nTotalBytes=1000000000000\nFreeBytes=900000000000\n") +
           Drive("F", "fvol",
                 "Type=removable\nBus=usb\nTotalBytes=64424509440\nFreeBytes=22548578304\n") +
           Drive("N", "nvol", "Type=fixed\nRemote=\\\\nas\\backup\n");
  }
  // An answers file for a plan that protects one folder.
  std::string Answers(const std::string& name, const std::string& store, int scheduleRow,
                      bool initBackup, const std::string& folder) const {
    WriteNative(dir_.NativeOf("answers.ini"),
                "[BackupDestination]\nBackupType=2\nStorageType=1\nActiveTabNew=4\nStoragePath=" +
                    store + "\n[NEW_WIZARD_SELECT_SOURCE]\nActiveTab=0\n[Selected Folders]\n" +
                    "FolderList=" + folder + "\n[WizardPage3Options]\nPlanName=" + name + "\n" +
                    wiz::kScheduleKeys[scheduleRow] + "=1\nBackupTime=1767261600\nDoInitBackup=" +
                    (initBackup ? "1" : "0") + "\n[Wizard4Options]\nVersionsToKeep=4\n");
    return dir_.SystemOf("answers.ini");
  }
  CPlan* Finish(const std::string& name, const std::string& store, int row, bool init) {
    return FinishNewPlan(PlanList::Instance(), Answers(name, store, row, init, home_.System()),
                         extensions_);
  }
  // Next until the page, each page as it stands.
  static void NextTo(CPlanWizardDlg& w, int page) {
    while (w.CurrentPage() < page) {
      const int before = w.CurrentPage();
      w.NextButton()->click();
      ASSERT_EQ(w.CurrentPage(), before + 1);
    }
  }

  bvtest::TempDir home_{bvtest::TempDir::Where::kHome};
  std::vector<ExtensionCategory> extensions_;
};

}  // namespace bvtest
