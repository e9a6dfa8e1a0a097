// The plan wizard: its answers model (settings, sources, destination checks,
// finishing a new or changed plan) and its four pages on real widgets
// (offscreen), filled in as a user would, down to plan files that a second
// plan list loads back as the same plan. With BV_SCREENSHOT_DIR (or
// BV_SCREENSHOTS_DIR) set, the pages are also written there as pictures.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidgetItemIterator>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/CTask.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/ExtensionList.h"
#include "plans/PlanFile.h"
#include "plans/PlanSources.h"
#include "plans/Schedule.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/Volumes.h"
#include "support/FtpServer.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/CExtFileDlg.h"
#include "ui/CFileTreeCtrl.h"
#include "ui/CPlanWizardDlg.h"
#include "ui/CSpecificExtList.h"
#include "ui/CWPBackupType.h"
#include "ui/CWPSelectDest.h"
#include "ui/CWPSelectSource.h"
#include "ui/CWPSelectWhenToBackup.h"
#include "ui/CWizardCalendar.h"
#include "ui/TextFormat.h"
#include "ui/WizardAnswers.h"
#include "ui/WizardWorker.h"

namespace fs = std::filesystem;

namespace {

using bvtest::App;
using bvtest::ReadNative;
using bvtest::WriteNative;

using bvtest::RunUntil;

// Replaces the field's text by typing, as a user does (textEdited fires).
void Type(QLineEdit* edit, const std::string& text) {
  edit->setFocus();
  edit->selectAll();
  QKeyEvent erase(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
  QApplication::sendEvent(edit, &erase);
  for (QChar c : QString::fromStdString(text)) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(edit, &press);
  }
}

std::string Screens() {
  for (const char* var : {"BV_SCREENSHOT_DIR", "BV_SCREENSHOTS_DIR"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return {};
}

void Shoot(QWidget* w, const char* name) {
  QApplication::processEvents();
  const QPixmap pixmap = w->grab();
  EXPECT_FALSE(pixmap.isNull());
  const std::string dir = Screens();
  if (!dir.empty()) {
    EXPECT_TRUE(pixmap.save(QString::fromStdString(dir + "/" + name)));
  }
}

void ClearPlans() {
  PlanList& list = PlanList::Instance();
  while (list.Count() > 0) list.DeletePlan(list.At(0)->Id());
}

std::string Profile(const std::string& ini, const char* section, const char* key) {
  return plat::GetProfileString(ini, section, key, "<none>", 4095);
}

// A data folder, a volume table (C: "/" the system disk, E: a local disk,
// U: a USB hard drive, F: a USB key, N: a network drive) and no plans.
class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    for (const char* sub : {"data", "evol", "uvol", "fvol", "nvol"})
      fs::create_directories(dir_.NativeOf(sub));
    setenv("BREVANTO_DATA_DIR", dir_.NativeOf("data").c_str(), 1);
    setenv("BREVANTO_MESSAGE_LOG", dir_.NativeOf("messages.log").c_str(), 1);
    setenv("BREVANTO_VOLUMES", dir_.NativeOf("volumes.ini").c_str(), 1);
    std::string ini = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
    ini += "[E]\nRoot=" + dir_.NativeOf("evol") +
           "\nType=fixed\nTotalBytes=536870912000\nFreeBytes=128849018880\n";
    ini += "[U]\nRoot=" + dir_.NativeOf("uvol") +
           "\nType=fixed\nBus=usb\nTotalBytes=1000000000000\nFreeBytes=900000000000\n";
    ini += "[F]\nRoot=" + dir_.NativeOf("fvol") +
           "\nType=removable\nBus=usb\nTotalBytes=64424509440\nFreeBytes=22548578304\n";
    ini += "[N]\nRoot=" + dir_.NativeOf("nvol") + "\nType=fixed\nRemote=\\\\nas\\backup\n";
    ini += "[Power]\nSource=ac\n";
    WriteNative(dir_.NativeOf("volumes.ini"), ini);
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
    ResetDefaultPlans();
    ClearPlans();
    ASSERT_TRUE(ReadExtensionList(&extensions_));
  }
  void TearDown() override {
    ClearPlans();
    unsetenv("BREVANTO_VOLUMES");
    unsetenv("BREVANTO_MESSAGE_LOG");
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
    ResetDefaultPlans();
  }

  std::string Messages() const { return ReadNative(dir_.NativeOf("messages.log")); }
  bool Said(const char* section, const char* key) const {
    return Messages().find(GetText(section, key)) != std::string::npos;
  }
  // An answers file for a plan that protects one folder.
  std::string Answers(const std::string& name, const std::string& store, int scheduleRow,
                      bool initBackup, const std::string& folder) const {
    const std::string ini = dir_.SystemOf("answers.ini");
    std::string text = "[BackupDestination]\nBackupType=2\nStorageType=1\nActiveTabNew=4\n";
    text += "StoragePath=" + store + "\n";
    text += "[NEW_WIZARD_SELECT_SOURCE]\nActiveTab=0\n[Selected Folders]\nFolderList=" + folder +
            "\n[WizardPage3Options]\nPlanName=" + name + "\n";
    text += std::string(wiz::kScheduleKeys[scheduleRow]) + "=1\n";
    text += "BackupTime=1767261600\nDoInitBackup=" + std::string(initBackup ? "1" : "0") + "\n";
    text += "[Wizard4Options]\nVersionsToKeep=4\n";
    WriteNative(dir_.NativeOf("answers.ini"), text);
    return ini;
  }

  bvtest::TempDir dir_;
  bvtest::TempDir home_{bvtest::TempDir::Where::kHome};
  std::vector<ExtensionCategory> extensions_;
};

// ---------------------------------------------------------------------------
// The answers model

TEST(WizardAnswersModelTest, MasksTabsAndScheduleRows) {
  EXPECT_EQ(NormaliseExtensionMask("mp3"), "*.mp3");
  EXPECT_EQ(NormaliseExtensionMask(" .ODS "), "*.ODS");
  EXPECT_EQ(NormaliseExtensionMask("tar.gz"), "*.tar.gz");
  EXPECT_EQ(NormaliseExtensionMask("*.jp?g"), "*.jp?g");
  for (const char* bad : {"", "  ", "a,b", "a\\b", "a/b", "*", "*.*", ".", "a b", "x.", "\"q\"",
                          "this-extension-is-far-too-long-to-be-a-real-extension-of-any-file-ok"})
    EXPECT_EQ(NormaliseExtensionMask(bad), "") << bad;
  EXPECT_EQ(JoinMasks(SplitMasks(",*.a,, *.b ,")), "*.a,*.b");

  const int32_t types[5] = {2, 2, 3, 4, 1};
  for (int tab = 0; tab < 5; ++tab) EXPECT_EQ(StorageTypeOfTab(tab), types[tab]);
  EXPECT_EQ(StorageTypeOfTab(5), 0);
  for (int row = 0; row < 8; ++row) EXPECT_EQ(ScheduleRowOfUnit(UnitOfScheduleRow(row)), row);
  EXPECT_EQ(UnitOfScheduleRow(8), 0);
  EXPECT_EQ(ScheduleRowOfUnit(9), -1);
  // The default table's six choices.
  const int32_t units[6] = {1, 4, 5, 6, 7, 8};
  for (int c = 0; c < 6; ++c) EXPECT_EQ(UnitOfScheduleChoice(c), units[c]);
}

TEST_F(WizardTest, SettingsFromAnswersIncludingFtp) {
  const std::string ini = Answers(" Docs ", "E:\\Store", 1, false, "C:\\x");
  PlanSettings s;
  ASSERT_TRUE(SettingsFromAnswers(ini, &s));
  EXPECT_EQ(s.name, "Docs");
  EXPECT_EQ(s.storePath, "E:\\Store\\");
  EXPECT_EQ(s.storageType, kStorageLocal);
  EXPECT_EQ(s.scheduleUnit, kUnitDaily);
  EXPECT_EQ(s.scheduleNum, 1);
  EXPECT_EQ(s.versionNumber, 4);
  EXPECT_EQ(s.kind, 1);
  EXPECT_EQ(s.enabled, 0);

  plat::WriteProfileString(ini, "WizardPage3Options", "PlanName", "");
  EXPECT_FALSE(SettingsFromAnswers(ini, &s));
  plat::WriteProfileString(ini, "WizardPage3Options", "PlanName", "Docs");
  plat::WriteProfileString(ini, "WizardPage3Options", "Daily", "0");
  EXPECT_FALSE(SettingsFromAnswers(ini, &s));  // no schedule chosen

  // FTP answers, written as the page writes them, come back normalised.
  plat::WriteProfileString(ini, "WizardPage3Options", "Manually", "1");
  plat::WriteProfileInt(ini, "BackupDestination", "StorageType", 4);
  plat::WriteProfileString(ini, "BackupDestination", "StoragePath", "");
  FtpSettings typed;
  typed.server = "FTP://Files.Example.COM/";
  typed.port = 2121;
  typed.root = "backup";
  typed.user = "ann";
  typed.password = " p=ss;word ";
  typed.retryCount = -3;
  typed.timeout = 500;
  typed.passive = 0;
  typed.pinnedKey = "sha256//AbC+/=";
  WriteFtpAnswers(ini, typed);
  ASSERT_TRUE(SettingsFromAnswers(ini, &s));
  EXPECT_EQ(s.storageType, kStorageFtp);
  EXPECT_EQ(s.ftp.server, "files.example.com");
  EXPECT_EQ(s.ftp.port, 2121);
  EXPECT_EQ(s.ftp.root, "/backup/");
  EXPECT_EQ(s.ftp.user, "ann");
  EXPECT_EQ(s.ftp.password, " p=ss;word ");
  EXPECT_EQ(s.ftp.passive, 0);
  EXPECT_EQ(s.ftp.retryCount, 0);
  EXPECT_EQ(s.ftp.timeout, 120);
  EXPECT_EQ(s.ftp.pinnedKey, "sha256//AbC+/=");
  EXPECT_EQ(s.storePath, "ftp://files.example.com/backup/");
  // A server over SSH keeps its scheme in the store path.
  typed.server = "SFTP://Files.Example.COM:2222/";
  WriteFtpAnswers(ini, typed);
  ASSERT_TRUE(SettingsFromAnswers(ini, &s));
  EXPECT_EQ(s.ftp.server, "sftp://files.example.com:2222");
  EXPECT_EQ(s.storePath, "sftp://files.example.com:2222/backup/");
}

TEST_F(WizardTest, SourceAnswersCountOnlyWhatTheTypeUses) {
  const std::string ini = dir_.SystemOf("src.ini");
  const std::string docs = wiz::kCategories[0];
  WriteNative(dir_.NativeOf("src.ini"),
              "[BackupDestination]\nBackupType=0\n"
              "[FileTypes]\nDocument Files=1\nVideos=0\nCustom File Type(s)=*.abc,*.doc\n"
              "[Document Files]\nItem1=1\nItem2=0\nItem3=1\n"
              "[Videos]\nItem1=1\n"
              "[ApplicationData]\nOutlook Data=1\n"
              "[CommonData]\nFiles in Pictures=1\n"
              "[Selected Folders]\nFolderList=C:\\A,C:\\A\\B,,D:\\X\n");
  const ExtensionCategory* cat = nullptr;
  for (const auto& c : extensions_)
    if (c.name == docs) cat = &c;
  ASSERT_NE(cat, nullptr);
  ASSERT_GE(cat->entries.size(), 3u);

  SourceAnswers a = ReadSourceAnswers(ini, extensions_);
  EXPECT_EQ(a.masks, (std::vector<std::string>{cat->entries[0].mask, cat->entries[2].mask}));
  EXPECT_TRUE(a.folders.empty());
  WebChoices pictures{};
  pictures[1] = true;
  EXPECT_EQ(a.web, pictures);  // mail answers belong to another type

  plat::WriteProfileInt(ini, "BackupDestination", "BackupType", 1);
  a = ReadSourceAnswers(ini, extensions_);
  EXPECT_TRUE(a.masks.empty());
  for (size_t g = 0; g < 12; ++g) EXPECT_EQ(a.web[g], g >= 7) << g;

  plat::WriteProfileInt(ini, "BackupDestination", "BackupType", 2);
  a = ReadSourceAnswers(ini, extensions_);
  EXPECT_EQ(a.folders, (std::vector<std::string>{"C:\\A", "C:\\A\\B", "D:\\X"}));
  EXPECT_TRUE(a.masks.empty());
  EXPECT_EQ(a.web, WebChoices{});

  plat::WriteProfileInt(ini, "NEW_WIZARD_SELECT_SOURCE", "ActiveTab", 1);
  a = ReadSourceAnswers(ini, extensions_);
  EXPECT_TRUE(a.folders.empty());
  // Own extensions follow the list's; one the list already brings is not doubled.
  ASSERT_EQ(cat->entries[0].mask, "*.doc");
  EXPECT_EQ(a.masks, (std::vector<std::string>{"*.doc", cat->entries[2].mask, "*.abc"}));

  NormaliseAnswers(ini);
  EXPECT_EQ(plat::GetProfileInt(ini, "ApplicationData", "Outlook Data", -1), 0);
  EXPECT_EQ(plat::GetProfileInt(ini, "CommonData", "Files in Pictures", -1), 0);
}

TEST_F(WizardTest, DestinationFolderChecksPerTab) {
  using DC = DestCheck;
  std::string sys;
  const std::string e = dir_.NativeOf("evol");
  const std::string u = dir_.NativeOf("uvol");
  const std::string n = dir_.NativeOf("nvol");
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, "  ", &sys), DC::kEmpty);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, "backup", &sys), DC::kInvalid);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, e + "/a,b", &sys), DC::kInvalid);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, e + "/a*b", &sys), DC::kInvalid);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, e + "/My Backup/", &sys), DC::kOk);
  EXPECT_EQ(sys, "E:\\My Backup");
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, "/srv/backup", &sys), DC::kOk);
  EXPECT_EQ(sys, "C:\\srv\\backup");
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabExternal, e + "/B", &sys), DC::kNotUsb);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabNetwork, e + "/B", &sys), DC::kNotNetwork);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabExternal, u + "/B", &sys), DC::kOk);
  EXPECT_EQ(sys, "U:\\B");
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabUsbKey, dir_.NativeOf("fvol") + "/B", &sys), DC::kOk);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, u + "/B", &sys), DC::kNotHardDisk);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabNetwork, n + "/B", &sys), DC::kOk);
  EXPECT_EQ(CheckDestinationFolder(wiz::kTabLocal, n + "/B", &sys), DC::kNotHardDisk);
  for (DC r : {DC::kEmpty, DC::kInvalid, DC::kNotNetwork, DC::kNotUsb, DC::kNotHardDisk})
    EXPECT_FALSE(GetText("WIZARD_BACKUP_DEST", DestCheckKey(r)).empty());
}

// ---------------------------------------------------------------------------
// Finishing

TEST_F(WizardTest, NewPlansFollowScheduleAndFirstBackup) {
  PlanList& list = PlanList::Instance();
  const std::string src = home_.System();

  CPlan* manual = FinishNewPlan(list, Answers("Manual", "E:\\M", 5, false, src), extensions_);
  ASSERT_NE(manual, nullptr);
  EXPECT_FALSE(manual->Enabled());
  EXPECT_EQ(manual->ScheduleUnit(), kUnitManual);
  EXPECT_EQ(manual->BackupTime(), 1767261600);
  EXPECT_EQ(manual->LastBackupTime(), 0);

  CPlan* daily = FinishNewPlan(list, Answers("Daily", "E:\\D", 1, false, src), extensions_);
  ASSERT_NE(daily, nullptr);
  EXPECT_TRUE(daily->Enabled());
  EXPECT_EQ(daily->LastBackupTime(), 0);

  // A first backup at once, whatever the schedule (even manual).
  CPlan* first = FinishNewPlan(list, Answers("First", "E:\\F", 5, true, src), extensions_);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->Enabled());
  EXPECT_EQ(first->LastBackupTime(), 0);  // set by a copy, never by the wizard
  {
    std::lock_guard<std::recursive_mutex> lock(first->Lock());
    ASSERT_NE(first->Task(), nullptr);
  }

  // The answers became the plan's own "UI.ini"; the rules hold the folder.
  const std::string ui = manual->GetPlanFolder() + "UI.ini";
  EXPECT_EQ(Profile(ui, "WizardPage3Options", "PlanName"), "Manual");
  EXPECT_TRUE(manual->MatchPath(src + "\\a.txt", false));
  EXPECT_FALSE(manual->MatchPath(dir_.System() + "\\a.txt", false));
  const std::string rules =
      ReadNative(dir_.NativeOf("data/PLAN/" + std::to_string(manual->Id()) + "/IncExc.ini"));
  EXPECT_NE(rules.find("item.mask=" + src), std::string::npos);

  // A name that is taken: the list refuses, nothing is made.
  EXPECT_EQ(FinishNewPlan(list, Answers("Daily", "E:\\D2", 1, false, src), extensions_), nullptr);
  EXPECT_EQ(list.Count(), 3u);
}

// Finishing with FTP answers makes an FTP plan: its marker lands on the
// server and "Devices.ini" keeps the server; a server that cannot be reached
// now does not stop the plan. A plan changed to FTP gets the new destination.
TEST_F(WizardTest, FtpAnswersMakeAnFtpPlan) {
  bvtest::FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  PlanList& list = PlanList::Instance();
  auto ftpAnswers = [&](const std::string& name, const FtpSettings& f) {
    const std::string ini = Answers(name, "", 1, false, home_.System());
    plat::WriteProfileInt(ini, "BackupDestination", "StorageType", 4);
    plat::WriteProfileInt(ini, "BackupDestination", "ActiveTabNew", 3);
    WriteFtpAnswers(ini, f);
    return ini;
  };
  CPlan* plan = FinishNewPlan(list, ftpAnswers("Ftp", server.Settings("wiz/")), extensions_);
  ASSERT_NE(plan, nullptr);
  EXPECT_EQ(plan->Settings().storageType, kStorageFtp);
  EXPECT_EQ(plan->DestinationRoot(), "/bvuser/wiz/");
  EXPECT_TRUE(std::filesystem::exists(server.NativeOf("/bvuser/wiz/Brevanto.dat")));
  EXPECT_EQ(Profile(plan->GetPlanFolder() + "Devices.ini", "FTP Device", "Server"), "127.0.0.1");

  FtpSettings away = server.Settings("away/");
  away.port = 1;  // nothing listens there
  EXPECT_NE(FinishNewPlan(list, ftpAnswers("Away", away), extensions_), nullptr);
  EXPECT_EQ(list.Count(), 2u);

  CPlan* disk =
      FinishNewPlan(list, Answers("Disk", "E:\\Disk", 1, false, home_.System()), extensions_);
  ASSERT_NE(disk, nullptr);
  const PlanChange c = BeginPlanChange(disk);
  EXPECT_TRUE(CompletePlanChange(list, disk, c, ftpAnswers("Disk", server.Settings("moved/")),
                                 extensions_, true));
  EXPECT_EQ(disk->DestinationRoot(), "/bvuser/moved/");
  EXPECT_TRUE(std::filesystem::exists(server.NativeOf("/bvuser/moved/Brevanto.dat")));
}

TEST_F(WizardTest, ChangingAPlanStopsItAndRestoresItsState) {
  PlanList& list = PlanList::Instance();
  const std::string src = home_.System();
  CPlan* on = FinishNewPlan(list, Answers("On", "E:\\On", 0, false, src), extensions_);
  CPlan* off = FinishNewPlan(list, Answers("Off", "E:\\Off", 5, false, src), extensions_);
  ASSERT_TRUE(on && off);
  ASSERT_TRUE(on->Enabled());
  ASSERT_FALSE(off->Enabled());

  home_.Write("other/x.txt", "x");
  const std::string other = home_.SystemOf("other");
  PlanChange c = BeginPlanChange(on);
  EXPECT_FALSE(on->Enabled());
  ASSERT_TRUE(CompletePlanChange(list, on, c, Answers("On renamed", "E:\\Moved", 2, true, other),
                                 extensions_, true));
  EXPECT_TRUE(on->Enabled());
  EXPECT_EQ(on->Name(), "On renamed");
  EXPECT_EQ(on->DestinationRoot(), "E:\\Moved\\");
  EXPECT_EQ(on->ScheduleUnit(), kUnitWeekly);
  EXPECT_EQ(on->LastBackupTime(), 0);  // set by a copy, never by the wizard
  EXPECT_TRUE(on->MatchPath(other + "\\x.txt", false));
  EXPECT_FALSE(on->MatchPath(src + "\\a.txt", false));
  const std::string planIni =
      ReadNative(dir_.NativeOf("data/PLAN/" + std::to_string(on->Id()) + "/Plan.ini"));
  EXPECT_NE(planIni.find("Name=On renamed"), std::string::npos);
  EXPECT_NE(planIni.find("StorePath=E:\\Moved\\"), std::string::npos);

  c = BeginPlanChange(off);
  ASSERT_TRUE(
      CompletePlanChange(list, off, c, Answers("Off", "E:\\Off", 1, true, src), extensions_, true));
  EXPECT_FALSE(off->Enabled());  // stays off; no first backup for a stopped plan
  EXPECT_EQ(off->LastBackupTime(), 0);
  EXPECT_EQ(off->ScheduleUnit(), kUnitDaily);

  // A name another plan carries is refused; the plan keeps its own.
  c = BeginPlanChange(on);
  EXPECT_FALSE(CompletePlanChange(list, on, c, Answers("Off", "E:\\Moved", 2, false, other),
                                  extensions_, true));
  EXPECT_EQ(on->Name(), "On renamed");
  EXPECT_TRUE(on->Enabled());
}

// ---------------------------------------------------------------------------
// The pages on real widgets

TEST_F(WizardTest, PageChecksKeepTheUserOnThePage) {
  CPlanWizardDlg wizard(nullptr, 0);
  wizard.show();
  Shoot(&wizard, "wizard-1-type.png");
  CWPBackupType* type = wizard.TypePage();
  type->findChild<QRadioButton*>("typeCategories")->click();
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 0);
  EXPECT_TRUE(Said("WIZARD_BACKUP_TYPE", "HAVE_NOT_SELECTED_ANY_ITEM"));

  type->findChild<QRadioButton*>("typeWeb")->click();
  EXPECT_FALSE(type->findChild<QCheckBox*>("categoryVideos")->isEnabled());
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 0);
  type->findChild<QCheckBox*>("webBrowser")->click();
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 1);
  // Both browser answers were stored; untick them on the source page: refused.
  CWPSelectSource* source = wizard.SourcePage();
  for (const char* name : {"webFavorites", "webFirefox"}) {
    auto* box = source->findChild<QCheckBox*>(name);
    ASSERT_TRUE(box->isChecked()) << name;
    box->click();
  }
  fs::remove(dir_.NativeOf("messages.log"));
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 1);
  EXPECT_TRUE(Said("WIZARD_BACKUP_SOURCE", "HAVE_NOT_SELECTED_ANY_ITEM"));
  source->findChild<QCheckBox*>("webFirefox")->click();
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 2);
  EXPECT_EQ(plat::GetProfileInt(wizard.AnswersFile(), "ApplicationData", "Internet Favorites", -1),
            0);
  EXPECT_EQ(plat::GetProfileInt(wizard.AnswersFile(), "ApplicationData", "FireFox Bookmarks", -1),
            1);

  // Destination: empty, not a disk of the tab's kind, then FTP fields.
  CWPSelectDest* dest = wizard.DestPage();
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  dest->Tabs()->setCurrentIndex(wiz::kTabLocal);
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  Type(dest->Folder(), "");
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "DESTINATION_FOLDER_IS_EMPTY"));
  Type(dest->Folder(), dir_.NativeOf("uvol") + "/Backup");
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "DESTINATION_FOLDER_IS_NOT_HARDDISK"));
  Type(dest->Folder(), "relative/folder");
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "DESTINATION_FOLDER_IS_INVALID"));
  EXPECT_EQ(wizard.CurrentPage(), 2);

  dest->Tabs()->setCurrentIndex(wiz::kTabFtp);
  auto field = [&](const char* name) { return dest->findChild<QLineEdit*>(name); };
  Type(field("ftpServerEdit"), "");
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "FTP_SERVER_ADDRESS_IS_EMPTY"));
  Type(field("ftpServerEdit"), "ftp.example.com");
  Type(field("ftpPortEdit"), "");
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "FTP_PORT_IS_EMPTY"));
  Type(field("ftpPortEdit"), "2121");
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "FTP_USER_NAME_IS_EMPTY"));
  Type(field("ftpUserEdit"), "ann");
  Type(field("ftpPasswordEdit"), "s3cret");
  dest->findChild<QCheckBox*>("ftpProxyCheck")->click();
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "FTP_PROXY_ADDRESS_IS_EMPTY"));
  Type(field("ftpProxyEdit"), "proxy.lan");
  wizard.NextButton()->click();
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "FTP_PROXY_PORT_IS_EMPTY"));
  Type(field("ftpProxyPortEdit"), "8021");
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 3);
  const std::string& ini = wizard.AnswersFile();
  EXPECT_EQ(Profile(ini, "BackupDestination", "StorageType"), "4");
  EXPECT_EQ(Profile(ini, "BackupDestination", "ActiveTabNew"), "3");
  EXPECT_EQ(Profile(ini, "BackupDestination", "Server"), "ftp.example.com");
  EXPECT_EQ(Profile(ini, "BackupDestination", "Port"), "2121");
  EXPECT_EQ(Profile(ini, "BackupDestination", "User"), "ann");
  EXPECT_EQ(Profile(ini, "BackupDestination", "Password"), "s3cret");
  EXPECT_EQ(Profile(ini, "BackupDestination", "Proxy"), "proxy.lan");
  EXPECT_EQ(Profile(ini, "BackupDestination", "ProxyPort"), "8021");

  // Finishing with FTP makes the plan, even with the server out of reach.
  Type(wizard.WhenPage()->NameEdit(), "Web data");
  wizard.FinishButton()->click();
  EXPECT_FALSE(Said("WIZARD_MAIN", "DESTINATION_NOT_AVAILABLE"));
  ASSERT_EQ(PlanList::Instance().Count(), 1u);
  EXPECT_FALSE(wizard.isVisible());
}

TEST_F(WizardTest, NewPlanFilledInByHandLoadsBackAsTheSamePlan) {
  home_.Write("Projects/a.txt", "hello");
  home_.Write("Projects/sub/b.txt", "0123456789");
  home_.Write("Other/c.txt", "c");
  const std::string projects = home_.SystemOf("Projects");

  CPlanWizardDlg wizard(nullptr, 0);
  wizard.show();
  wizard.TypePage()->findChild<QRadioButton*>("typeFolders")->click();
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 1);

  // The tree lists folders on the worker; open it down to the folder.
  CFileTreeCtrl* tree = wizard.SourcePage()->Tree();
  ASSERT_TRUE(RunUntil([&] { return tree->FindItem(kMyComputerEntry) != nullptr; }));
  tree->Reveal(projects);
  ASSERT_TRUE(RunUntil([&] { return tree->FindItem(projects) != nullptr; }));
  QTreeWidgetItem* item = tree->FindItem(projects);
  item->setCheckState(0, Qt::Checked);  // what a click on its box does
  EXPECT_EQ(tree->Checked(), std::vector<std::string>{projects});
  ASSERT_TRUE(RunUntil([&] { return !tree->Loading(); }));
  EXPECT_EQ(tree->Checked(), std::vector<std::string>{projects});
  QTreeWidgetItem* parent = tree->FindItem(home_.System());
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(parent->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(tree->FindItem(home_.SystemOf("Other"))->checkState(0), Qt::Unchecked);
  // Shown natively, kept as system paths.
  EXPECT_EQ(item->text(0).toStdString(), "Projects");
  // Its tool tip counts what it holds.
  tree->scrollToItem(item);
  const QRect rect = tree->visualItemRect(item);
  QHelpEvent tip(QEvent::ToolTip, rect.center(), tree->viewport()->mapToGlobal(rect.center()));
  QApplication::sendEvent(tree->viewport(), &tip);
  ASSERT_TRUE(RunUntil([&] { return !tree->TallyRunning(); }));
  EXPECT_EQ(tree->TallyText().toStdString(),
            FormatText(GetText("WIZARD_BACKUP_SOURCE", "TALLY_RESULT"),
                       {"2", FormatSize(15, "", false)}));
  Shoot(&wizard, "wizard-2-source.png");
  // A folder the shipped exclusions leave out (below /tmp) is refused at once,
  // with its name, instead of being watched in vain.
  fs::create_directories(dir_.NativeOf("scratch"));
  const std::string scratch = dir_.SystemOf("scratch");
  tree->Reveal(scratch);
  ASSERT_TRUE(RunUntil([&] { return tree->FindItem(scratch) != nullptr; }));
  tree->FindItem(scratch)->setCheckState(0, Qt::Checked);
  ASSERT_TRUE(RunUntil([&] { return !tree->Loading(); }));
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 1);
  EXPECT_NE(Messages().find(FormatText(GetText("WIZARD_BACKUP_SOURCE", "FOLDER_IS_EXCLUDED"),
                                       {dir_.NativeOf("scratch")})),
            std::string::npos)
      << Messages();
  tree->FindItem(scratch)->setCheckState(0, Qt::Unchecked);
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 2);
  EXPECT_EQ(Profile(wizard.AnswersFile(), "Selected Folders", "FolderList"), projects);

  // Defaults: the plan type's folder on the drive the table prefers (the
  // USB hard drive), shown natively.
  CWPSelectDest* dest = wizard.DestPage();
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy() && !dest->Folder()->text().isEmpty(); }));
  EXPECT_EQ(dest->Tabs()->currentIndex(), wiz::kTabExternal);
  EXPECT_EQ(dest->Folder()->text().toStdString(), dir_.NativeOf("uvol") + "/Brevanto Folder 1");
  ASSERT_TRUE(RunUntil([&] { return !dest->Space()->text().isEmpty(); }));
  Shoot(&wizard, "wizard-3-dest.png");
  // The user picks the local drive and a folder of their own.
  dest->Tabs()->setCurrentIndex(wiz::kTabLocal);
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  EXPECT_EQ(dest->Drives()->count(), 2);  // C: and E:, not the USB or network drives
  // A folder on the disk of the protected folder: said to share its fate.
  Type(dest->Folder(), home_.NativeOf("Backups"));
  EXPECT_FALSE(dest->SameDisk()->isHidden());
  EXPECT_EQ(dest->SameDisk()->text().toStdString(),
            GetText("WIZARD_BACKUP_DEST", "SAME_DISK_AS_SOURCES"));
  Type(dest->Folder(), dir_.NativeOf("evol") + "/My Projects");
  EXPECT_TRUE(dest->SameDisk()->isHidden());
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 3);
  EXPECT_EQ(Profile(wizard.AnswersFile(), "BackupDestination", "StoragePath"), "E:\\My Projects");

  CWPSelectWhenToBackup* when = wizard.WhenPage();
  ASSERT_TRUE(RunUntil([&] { return when->NameEdit()->text() == "My Folder 1"; }));
  EXPECT_EQ(when->Schedule()->currentRow(), 0);  // the type's default: continuously
  EXPECT_FALSE(when->Hour()->isEnabled());
  Type(when->NameEdit(), "Projects");
  when->Schedule()->setCurrentRow(ScheduleRowOfUnit(kUnitMonthly));
  EXPECT_TRUE(when->Calendar()->isEnabled());
  EXPECT_EQ(when->DayHint()->text().toStdString(),
            GetText("WIZARD_WHEN_TO_BACKUP", "BACKUP_DAY_HINT"));
  when->Calendar()->SetSelectedDate(QDate(2030, 5, 1));
  when->Calendar()->DayButton(17)->click();
  EXPECT_EQ(when->Calendar()->SelectedDate(), QDate(2030, 5, 17));
  when->Hour()->setValue(25);
  when->Minute()->setValue(7);
  EXPECT_EQ(when->Hour()->value(), 23);
  EXPECT_EQ(when->Minute()->text(), "07");
  when->Versions()->setValue(99);
  EXPECT_EQ(when->Versions()->value(), GetMaxVersionCount());
  when->Versions()->setValue(2);
  when->InitBackup()->setChecked(false);
  Shoot(&wizard, "wizard-4-when.png");
  wizard.FinishButton()->click();
  EXPECT_EQ(wizard.result(), QDialog::Accepted);
  ASSERT_NE(wizard.ResultPlanId(), 0u);

  const uint32_t id = wizard.ResultPlanId();
  CPlan* plan = PlanList::Instance().Find(id);
  ASSERT_NE(plan, nullptr);
  const int64_t start = WizardStartTime(2030, 5, 17, 23, 7, 0);
  EXPECT_EQ(plan->Name(), "Projects");
  EXPECT_EQ(plan->DestinationRoot(), "E:\\My Projects\\");
  EXPECT_EQ(plan->ScheduleUnit(), kUnitMonthly);
  EXPECT_EQ(plan->VersionNumber(), 2);
  EXPECT_EQ(plan->BackupTime(), start);
  EXPECT_TRUE(plan->Enabled());
  EXPECT_TRUE(fs::exists(dir_.NativeOf("evol/My Projects")));
  // The copy below runs the plan instead (its file still says enabled).
  plan->SetEnabled(false, 0);

  // A second list reads the files the wizard wrote: the same plan.
  {
    PlanList other;
    ASSERT_TRUE(other.LoadAllPlans());
    CPlan* loaded = other.Find(id);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->Name(), "Projects");
    EXPECT_EQ(loaded->DestinationRoot(), "E:\\My Projects\\");
    EXPECT_EQ(loaded->StorageType(), kStorageLocal);
    EXPECT_EQ(loaded->ScheduleUnit(), kUnitMonthly);
    EXPECT_EQ(loaded->ScheduleNum(), 1);
    EXPECT_EQ(loaded->VersionNumber(), 2);
    EXPECT_EQ(loaded->BackupTime(), start);
    EXPECT_TRUE(loaded->Enabled());
    EXPECT_TRUE(loaded->MatchPath(home_.SystemOf("Projects/sub/b.txt"), false));
    EXPECT_FALSE(loaded->MatchPath(home_.SystemOf("Other/c.txt"), false));
    EXPECT_EQ(GetPlanType(loaded->GetPlanFolder()), kPlanSpecificFolder);
  }
}

TEST_F(WizardTest, ChangingAPlanOpensAtTheDestinationAndKeepsItRunning) {
  const std::string src = home_.System();
  CPlan* plan =
      FinishNewPlan(PlanList::Instance(), Answers("Docs", "E:\\Docs", 0, false, src), extensions_);
  ASSERT_NE(plan, nullptr);
  ASSERT_TRUE(plan->Enabled());
  const uint32_t id = plan->Id();

  CPlanWizardDlg wizard(nullptr, id, CPlanWizardDlg::kPageDest);
  wizard.show();
  ASSERT_EQ(wizard.CurrentPage(), 2);
  CWPSelectDest* dest = wizard.DestPage();
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  // The stored destination, as the user knows it; no defaults for a change.
  EXPECT_EQ(dest->Tabs()->currentIndex(), wiz::kTabLocal);
  EXPECT_EQ(dest->Folder()->text().toStdString(), dir_.NativeOf("evol") + "/Docs");
  Type(dest->Folder(), dir_.NativeOf("evol") + "/Docs 2");
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 3);
  EXPECT_EQ(wizard.WhenPage()->NameEdit()->text(), "Docs");
  EXPECT_FALSE(wizard.WhenPage()->InitBackup()->isChecked());
  wizard.FinishButton()->click();
  // The plan is stopped, its destination let go, then changed.
  EXPECT_FALSE(plan->Enabled());
  ASSERT_TRUE(RunUntil([&] { return wizard.result() == QDialog::Accepted; }));
  EXPECT_TRUE(wizard.Changed());
  EXPECT_TRUE(plan->Enabled());
  EXPECT_EQ(plan->DestinationRoot(), "E:\\Docs 2\\");
  EXPECT_EQ(Profile(plan->GetPlanFolder() + "UI.ini", "BackupDestination", "StoragePath"),
            "E:\\Docs 2");
  EXPECT_TRUE(plan->MatchPath(src + "\\x.txt", false));
}

// Every N minutes and every N hours: offered, stored, and kept by a change
// that does not touch them.
TEST_F(WizardTest, IntervalSchedulesSurviveAChange) {
  const struct {
    const char* name;
    int32_t unit;
    int count;
  } cases[] = {{"Quarter hours", kUnitMinutes, 15}, {"Three hours", kUnitOtherInterval, 3}};
  for (const auto& c : cases) {
    CPlanWizardDlg make(nullptr, 0, CPlanWizardDlg::kPageDest);
    make.show();
    // The answers of the other pages, written by hand.
    Answers(c.name, "", 1, false, home_.System());
    ASSERT_TRUE(
        plat::WriteFileAtomic(make.AnswersFile(), ReadNative(dir_.NativeOf("answers.ini")), true));
    ASSERT_TRUE(RunUntil([&] { return make.Worker()->Pending() == 0; }));
    make.DestPage()->Tabs()->setCurrentIndex(wiz::kTabLocal);
    Type(make.DestPage()->Folder(), dir_.NativeOf("evol") + "/" + c.name);
    make.NextButton()->click();
    ASSERT_EQ(make.CurrentPage(), 3) << Messages();
    CWPSelectWhenToBackup* when = make.WhenPage();
    when->Schedule()->setCurrentRow(ScheduleRowOfUnit(c.unit));
    EXPECT_TRUE(when->Interval()->isEnabled());
    when->Interval()->setValue(c.count);
    if (c.unit == kUnitMinutes) Shoot(&make, "wizard-4-interval.png");
    Type(when->NameEdit(), c.name);
    make.FinishButton()->click();
    ASSERT_NE(make.ResultPlanId(), 0u) << Messages();
    CPlan* plan = PlanList::Instance().Find(make.ResultPlanId());
    ASSERT_NE(plan, nullptr);
    for (int round = 0; round < 2; ++round) {
      PlanSettings stored;
      ASSERT_TRUE(ReadPlanFile(plan->GetPlanFolder() + "Plan.ini", &stored, false));
      EXPECT_EQ(stored.scheduleUnit, c.unit) << c.name << " " << round;
      EXPECT_EQ(stored.scheduleNum, c.count) << c.name << " " << round;
      if (round == 1) break;
      // Reopened and finished from its first page: the schedule stays.
      CPlanWizardDlg change(nullptr, plan->Id());
      change.show();
      for (int page = 0; page < 3; ++page) change.NextButton()->click();
      ASSERT_EQ(change.CurrentPage(), 3) << Messages();
      EXPECT_EQ(change.WhenPage()->Interval()->value(), c.count);
      change.FinishButton()->click();
      ASSERT_TRUE(RunUntil([&] { return change.result() == QDialog::Accepted; })) << Messages();
    }
  }
}

// The destination is checked as it is chosen: written to (a probe file made
// and removed), not too long, inside a protected folder or on its disk; the
// tab shown names the kind of plan.
TEST_F(WizardTest, DestinationIsCheckedWhenChosen) {
  CPlan* plan = FinishNewPlan(PlanList::Instance(),
                              Answers("Home", "E:\\H", 0, false, home_.System()), extensions_);
  ASSERT_NE(plan, nullptr);
  dir_.Write("evol/a file", "x");
  CPlanWizardDlg wizard(nullptr, plan->Id(), CPlanWizardDlg::kPageDest);
  wizard.show();
  CWPSelectDest* dest = wizard.DestPage();
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  for (int tab = 0; tab < 5; ++tab) {
    dest->Tabs()->setCurrentIndex(tab);
    EXPECT_NE(dest->Kind()->text().indexOf(dest->Tabs()->tabText(tab)), -1) << tab;
  }
  dest->Tabs()->setCurrentIndex(wiz::kTabLocal);
  const std::string evol = dir_.NativeOf("evol");
  const struct {
    std::string folder;
    const char* said;  // on the page, and as the message when Next refuses
    bool sameDisk;
    bool goesOn;
  } cases[] = {
      {home_.NativeOf("Backups"), "STORE_INSIDE_SOURCE", true, true},
      {evol + "/a file/Backups", "DESTINATION_FOLDER_NOT_WRITABLE", false, false},
      {evol + "/" + std::string(256, 'n'), "DESTINATION_PATH_TOO_LONG", false, false},
      {evol + "/Fine", nullptr, false, true},
  };
  for (const auto& c : cases) {
    Type(dest->Folder(), c.folder);
    ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
    const std::string shown = dest->Findings()->text().toStdString();
    EXPECT_EQ(dest->Findings()->isVisible(), c.said != nullptr) << c.folder << ": " << shown;
    if (c.said) {
      EXPECT_EQ(shown, GetText("WIZARD_BACKUP_DEST", c.said)) << c.folder;
    }
    EXPECT_EQ(dest->SameDisk()->isVisible(), c.sameDisk) << c.folder;
    if (c.sameDisk) Shoot(&wizard, "wizard-3-dest-checked.png");
    fs::remove(dir_.NativeOf("messages.log"));
    wizard.NextButton()->click();
    EXPECT_EQ(wizard.CurrentPage(), c.goesOn ? 3 : 2) << c.folder;
    if (!c.goesOn) {
      EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", c.said)) << c.folder;
    }
    if (c.goesOn) wizard.BackButton()->click();
  }
  // The probes left nothing behind.
  EXPECT_FALSE(fs::exists(evol + "/.brevanto-write-probe"));
  EXPECT_FALSE(fs::exists(home_.NativeOf(".brevanto-write-probe")));

  // A folder an ordinary user may not write to, probed as such a user.
  fs::create_directories(dir_.NativeOf("closed"));
  fs::create_directories(dir_.NativeOf("open"));
  fs::permissions(dir_.Native(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(dir_.NativeOf("open"), fs::perms::all);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const DestFindings closed = ExamineDestination(dir_.SystemOf("closed/B"), {}, "", true);
    const DestFindings open = ExamineDestination(dir_.SystemOf("open/B"), {}, "", true);
    _exit(!closed.notWritable ? 11 : open.notWritable ? 12 : 0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 closed taken as writable, 12 open refused";
}

TEST_F(WizardTest, OwnExtensionsAndCategoryEntries) {
  CPlanWizardDlg wizard(nullptr, 0);
  wizard.show();
  wizard.TypePage()->findChild<QRadioButton*>("typeFolders")->click();
  wizard.NextButton()->click();
  CWPSelectSource* source = wizard.SourcePage();
  source->Tabs()->setCurrentIndex(1);
  CSpecificExtList* list = source->ExtensionList();
  EXPECT_FALSE(list->AnyChosen());

  CExtFileDlg editor(&wizard);
  editor.show();
  Type(editor.Edit(), "ods");
  EXPECT_TRUE(editor.AddTyped());
  Type(editor.Edit(), "*.ODS");
  EXPECT_TRUE(editor.AddTyped());  // already there
  Type(editor.Edit(), "a,b");
  EXPECT_FALSE(editor.AddTyped());
  EXPECT_TRUE(Said("WIZARD_EXT_DIALOG", "INVALID_EXTENSION"));
  Type(editor.Edit(), ".blend");
  editor.findChild<QPushButton*>("extAddButton")->click();
  EXPECT_EQ(editor.Masks(), (std::vector<std::string>{"*.ods", "*.blend"}));
  editor.List()->item(0)->setSelected(true);
  Shoot(&editor, "wizard-extensions.png");
  editor.findChild<QPushButton*>("extRemoveButton")->click();
  EXPECT_EQ(editor.Masks(), std::vector<std::string>{"*.blend"});
  list->SetCustomMasks(editor.Masks());

  // One entry of the pictures row, as a click on its box.
  QTreeWidgetItem* pictures = list->CategoryItem(wiz::kCategories[1]);
  ASSERT_NE(pictures, nullptr);
  pictures->child(1)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(pictures->checkState(0), Qt::PartiallyChecked);
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 2);
  const std::string& ini = wizard.AnswersFile();
  EXPECT_EQ(Profile(ini, "NEW_WIZARD_SELECT_SOURCE", "ActiveTab"), "1");
  EXPECT_EQ(Profile(ini, "FileTypes", "Custom File Type(s)"), "*.blend");
  EXPECT_EQ(Profile(ini, "FileTypes", "Photos and Pictures"), "1");
  EXPECT_EQ(Profile(ini, "FileTypes", "Videos"), "0");
  EXPECT_EQ(Profile(ini, "Photos and Pictures", "Item2"), "1");
  EXPECT_EQ(Profile(ini, "Photos and Pictures", "Item1"), "0");
  const SourceAnswers a = ReadSourceAnswers(ini, extensions_);
  ASSERT_EQ(a.masks.size(), 2u);
  EXPECT_EQ(a.masks[1], "*.blend");

  // Back to the type page: kinds of files; the source page lists only the
  // ticked categories, every entry ticked at first.
  wizard.BackButton()->click();
  wizard.BackButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 0);
  wizard.TypePage()->findChild<QRadioButton*>("typeCategories")->click();
  wizard.TypePage()->findChild<QCheckBox*>("categoryVideos")->click();
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 1);
  CSpecificExtList* categories = source->CategoryList();
  ASSERT_EQ(categories->topLevelItemCount(), 2);
  // Pictures keeps its one entry; videos, newly ticked, comes whole.
  EXPECT_EQ(categories->topLevelItem(0)->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(categories->topLevelItem(1)->checkState(0), Qt::Checked);
  EXPECT_TRUE(categories->AnyChosen());
}

TEST_F(WizardTest, ATakenNameKeepsTheUserOnTheLastPage) {
  ASSERT_NE(FinishNewPlan(PlanList::Instance(), Answers("Taken", "E:\\T", 0, false, home_.System()),
                          extensions_),
            nullptr);
  CPlanWizardDlg wizard(nullptr, 0);
  wizard.show();
  wizard.TypePage()->findChild<QCheckBox*>("categoryDocuments")->click();
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 1);
  EXPECT_TRUE(wizard.SourcePage()->CategoryList()->AnyChosen());  // every entry at first
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 2);
  CWPSelectDest* dest = wizard.DestPage();
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy() && !dest->Folder()->text().isEmpty(); }));
  wizard.NextButton()->click();
  ASSERT_EQ(wizard.CurrentPage(), 3);
  ASSERT_TRUE(
      RunUntil([&] { return wizard.WhenPage()->NameEdit()->text() == "My Office Documents 1"; }));
  Type(wizard.WhenPage()->NameEdit(), " Taken ");
  wizard.FinishButton()->click();
  EXPECT_NE(
      Messages().find(FormatText(GetText("WIZARD_WHEN_TO_BACKUP", "PLAN_NAME_EXISTS"), {"Taken"})),
      std::string::npos);
  EXPECT_EQ(wizard.CurrentPage(), 3);
  EXPECT_EQ(PlanList::Instance().Count(), 1u);
  Type(wizard.WhenPage()->NameEdit(), "");
  wizard.FinishButton()->click();
  EXPECT_TRUE(Said("WIZARD_WHEN_TO_BACKUP", "PLAN_NAME_IS_EMPTY"));
  Type(wizard.WhenPage()->NameEdit(), "Office");
  wizard.FinishButton()->click();
  ASSERT_NE(wizard.ResultPlanId(), 0u);
  CPlan* plan = PlanList::Instance().Find(wizard.ResultPlanId());
  ASSERT_NE(plan, nullptr);
  // The office defaults: the USB hard drive, continuously, a first backup at once.
  EXPECT_EQ(plan->DestinationRoot(), "U:\\Brevanto OfficeDocuments 1\\");
  EXPECT_EQ(plan->StorageType(), kStorageUsb);
  EXPECT_EQ(plan->ScheduleUnit(), kUnitContinuous);
  EXPECT_TRUE(plan->Enabled());
  EXPECT_TRUE(plan->MatchPath(home_.SystemOf("x.DOCX"), false));
  EXPECT_FALSE(plan->MatchPath(home_.SystemOf("x.mp3"), false));
  EXPECT_EQ(GetPlanType(plan->GetPlanFolder()), kPlanOfficeDocuments);
}

TEST_F(WizardTest, FolderTreeTicksFoldersAndTheirParents) {
  home_.Write("A/one/x.txt", "x");
  home_.Write("A/two/y.txt", "y");
  home_.Write("A/three/z.txt", "z");
  home_.Write("B/w.txt", "w");
  const std::string a = home_.SystemOf("A");
  CWizardWorker worker;
  CFileTreeCtrl tree(&worker);
  tree.Populate();
  // Ticked folders from the answers open the tree down to them; listing
  // half-ticked folders must not tick them.
  tree.SetChecked({home_.SystemOf("A/two"), home_.SystemOf("B")});
  ASSERT_TRUE(RunUntil([&] { return tree.FindItem(home_.SystemOf("A/two")) && !tree.Loading(); }));
  EXPECT_EQ(tree.Checked(),
            (std::vector<std::string>{home_.SystemOf("A/two"), home_.SystemOf("B")}));
  EXPECT_EQ(tree.FindItem(a)->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(tree.FindItem(home_.SystemOf("A/one"))->checkState(0), Qt::Unchecked);
  const std::vector<std::string> parents = tree.ParentFolders();
  EXPECT_NE(std::find(parents.begin(), parents.end(), a), parents.end());
  EXPECT_NE(std::find(parents.begin(), parents.end(), home_.System()), parents.end());

  // Ticking A takes in A/two; unticking A/one inside it leaves its siblings.
  tree.FindItem(a)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(tree.Checked(), (std::vector<std::string>{home_.SystemOf("B"), a}));
  EXPECT_EQ(tree.FindItem(home_.SystemOf("A/one"))->checkState(0), Qt::Checked);
  tree.FindItem(home_.SystemOf("A/one"))->setCheckState(0, Qt::Unchecked);
  std::vector<std::string> now = tree.Checked();
  std::sort(now.begin(), now.end());
  EXPECT_EQ(now, (std::vector<std::string>{home_.SystemOf("A/three"), home_.SystemOf("A/two"),
                                           home_.SystemOf("B")}));
  EXPECT_EQ(tree.FindItem(a)->checkState(0), Qt::PartiallyChecked);
  // The whole computer holds everything.
  tree.FindItem(kMyComputerEntry)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(tree.Checked(), std::vector<std::string>{kMyComputerEntry});
  EXPECT_EQ(tree.FindItem(home_.SystemOf("B"))->checkState(0), Qt::Checked);
  EXPECT_TRUE(CFileTreeCtrl::Contains("C:\\A", "C:\\A\\b"));
  EXPECT_FALSE(CFileTreeCtrl::Contains("C:\\A", "C:\\AB"));
  EXPECT_TRUE(CFileTreeCtrl::Contains("C:\\", "C:\\AB"));
}

// Every text a page shows comes from the text store: none is empty.
TEST_F(WizardTest, EveryShownTextHasItsWording) {
  for (int page = 0; page < 4; ++page) {
    CPlanWizardDlg wizard(nullptr, 0, page);
    wizard.show();
    ASSERT_TRUE(RunUntil([&] { return wizard.Worker()->Pending() == 0; }));
    if (page == CPlanWizardDlg::kPageDest) {
      for (int tab : {wiz::kTabLocal, wiz::kTabFtp}) {
        wizard.DestPage()->Tabs()->setCurrentIndex(tab);
        ASSERT_TRUE(RunUntil([&] { return wizard.Worker()->Pending() == 0; }));
        if (tab == wiz::kTabFtp) Shoot(&wizard, "wizard-3-ftp.png");
      }
    }
    EXPECT_FALSE(wizard.windowTitle().isEmpty());
    // Wording must hold a letter ("4  " is a step without its text).
    auto worded = [](const QString& text) {
      for (QChar c : text)
        if (c.isLetter()) return true;
      return false;
    };
    int checked = 0;
    for (QLabel* label : wizard.findChildren<QLabel*>()) {
      const QString name = label->objectName();
      if (name == "spaceLabel" || name == "dayHint" || name == "timeSeparator" ||
          name == "destFindingsLabel" || name == "calendarTitle")
        continue;
      EXPECT_TRUE(worded(label->text())) << page << " " << name.toStdString();
      ++checked;
    }
    for (QAbstractButton* button : wizard.findChildren<QAbstractButton*>()) {
      if (qobject_cast<QToolButton*>(button) != nullptr) continue;  // calendar cells, arrows
      EXPECT_TRUE(worded(button->text())) << page << " " << button->objectName().toStdString();
      ++checked;
    }
    for (QTabBar* bar : wizard.findChildren<QTabBar*>())
      for (int i = 0; i < bar->count(); ++i) EXPECT_FALSE(bar->tabText(i).isEmpty());
    for (QListWidget* list : wizard.findChildren<QListWidget*>())
      for (int i = 0; i < list->count(); ++i) EXPECT_FALSE(list->item(i)->text().isEmpty());
    EXPECT_GT(checked, 5) << page;
  }
  CExtFileDlg editor;
  for (QPushButton* b : editor.findChildren<QPushButton*>()) EXPECT_FALSE(b->text().isEmpty());
  EXPECT_FALSE(editor.windowTitle().isEmpty());
}

TEST_F(WizardTest, CalendarWeekStartsAtTheEditionsFirstDay) {
  CWizardCalendar calendar;
  EXPECT_EQ(calendar.FirstDayOfWeek(), GetBackupDateSetting("FirstDayOfWeek"));
  const int first = calendar.FirstDayOfWeek();
  const char* days[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
  for (int c = 0; c < 7; ++c)
    EXPECT_EQ(calendar.DayHeading(c).toStdString(),
              GetText("WIZARD_WHEN_TO_BACKUP",
                      std::string("BACKUP_CALENDAR_WEEK_") + days[(first + c) % 7]));
  calendar.SetSelectedDate(QDate(2028, 2, 10));
  EXPECT_EQ(calendar.MonthTitle().toStdString(),
            GetText("WIZARD_WHEN_TO_BACKUP", "BACKUP_CALENDAR_MONTH_FEB") + " 2028");
  EXPECT_NE(calendar.DayButton(29), nullptr);  // a leap year
  EXPECT_EQ(calendar.DayButton(30), nullptr);
  EXPECT_TRUE(calendar.DayButton(10)->isChecked());
  calendar.findChild<QToolButton*>("calendarNext")->click();
  EXPECT_EQ(calendar.DayButton(31)->isChecked(), false);
  calendar.DayButton(31)->click();
  EXPECT_EQ(calendar.SelectedDate(), QDate(2028, 3, 31));
}

// ---------------------------------------------------------------------------
// The ways through the wizard a user takes: every choice of every page, back
// and forth, Cancel at each page, a rename; each window is destroyed at once,
// with its jobs still running (scripts/sanitize address runs these).

// Every choice of the page shown, as a user looking around would make it; it
// leaves the page with an answer that lets Next go on.
// Runs the event loop for a while.
void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// A drive letter ("E:\\x", "E:  /media/e") among the texts a page shows.
std::string SystemPathShown(QWidget* page) {
  const QRegularExpression system(R"((^|[^A-Za-z])[A-Za-z]:(\\|\s|$))");
  QStringList texts;
  for (QLabel* l : page->findChildren<QLabel*>()) texts << l->text() << l->toolTip();
  for (QLineEdit* e : page->findChildren<QLineEdit*>()) texts << e->text();
  for (QComboBox* c : page->findChildren<QComboBox*>())
    for (int i = 0; i < c->count(); ++i)
      texts << c->itemText(i) << c->itemData(i, Qt::ToolTipRole).toString();
  for (QTreeWidget* t : page->findChildren<QTreeWidget*>())
    for (QTreeWidgetItemIterator it(t); *it; ++it) texts << (*it)->text(0) << (*it)->toolTip(0);
  for (const QString& text : texts)
    if (text.contains(system)) return text.toStdString();
  return {};
}

void LookAround(CPlanWizardDlg& w, const std::string& folder, const std::string& store) {
  EXPECT_EQ(SystemPathShown(w.PageAt(w.CurrentPage())), "");
  switch (w.CurrentPage()) {
    case CPlanWizardDlg::kPageType:
      for (const char* name : {"typeCategories", "categoryDocuments", "categoryMusic",
                               "categoryMusic", "typeWeb", "webMail", "webBrowser", "typeFolders"})
        w.TypePage()->findChild<QAbstractButton*>(name)->click();
      break;
    case CPlanWizardDlg::kPageSource: {
      CWPSelectSource* source = w.SourcePage();
      // The extension editor is modal: closed by the user as soon as it shows.
      source->Tabs()->setCurrentIndex(1);
      QTimer::singleShot(0, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
      });
      source->findChild<QPushButton*>("ownExtensionsButton")->click();
      source->Tabs()->setCurrentIndex(0);
      CFileTreeCtrl* tree = source->Tree();
      tree->Reveal(folder);
      ASSERT_TRUE(RunUntil([&] { return tree->FindItem(folder) != nullptr; }));
      tree->FindItem(folder)->setCheckState(0, Qt::Checked);
      break;
    }
    case CPlanWizardDlg::kPageDest: {
      CWPSelectDest* dest = w.DestPage();
      for (int tab : {0, 1, 2, 3, 4, 3}) {
        dest->Tabs()->setCurrentIndex(tab);
        for (int d = 0; d < dest->Drives()->count(); ++d) dest->Drives()->setCurrentIndex(d);
      }
      // The FTP tab's fields, typed into.
      for (QLineEdit* edit : dest->findChildren<QLineEdit*>())
        if (edit->objectName().startsWith("ftp") && edit->isVisible()) Type(edit, "21ab");
      for (QCheckBox* box : dest->findChildren<QCheckBox*>()) box->click();
      for (QSpinBox* spin : dest->findChildren<QSpinBox*>()) spin->stepUp();
      dest->Tabs()->setCurrentIndex(wiz::kTabLocal);
      Type(dest->Folder(), store);
      break;
    }
    default: {
      CWPSelectWhenToBackup* when = w.WhenPage();
      for (int row = when->Schedule()->count() - 1; row >= 0; --row)
        when->Schedule()->setCurrentRow(row);
      when->Calendar()->findChild<QToolButton*>("calendarNext")->click();
      when->InitBackup()->click();
      Type(when->NameEdit(), "Looked around");
      break;
    }
  }
  EXPECT_EQ(SystemPathShown(w.PageAt(w.CurrentPage())), "");
}

TEST_F(WizardTest, EveryWayThroughEndsCleanly) {
  home_.Write("Docs/a.txt", "a");
  const std::string docs = home_.SystemOf("Docs");
  const std::string store = dir_.NativeOf("evol") + "/Docs store";
  PlanList& list = PlanList::Instance();
  // A new plan: forth to a page, back to the first and forth again, Cancel there.
  for (int cancelAt = 0; cancelAt < 4; ++cancelAt) {
    auto wizard = std::make_unique<CPlanWizardDlg>(nullptr, 0);
    wizard->show();
    for (int round = 0; round < 2; ++round) {
      while (true) {
        LookAround(*wizard, docs, store);
        if (wizard->CurrentPage() == cancelAt) break;
        const int before = wizard->CurrentPage();
        wizard->NextButton()->click();
        ASSERT_EQ(wizard->CurrentPage(), before + 1) << Messages();
      }
      while (round == 0 && wizard->CurrentPage() > 0) wizard->BackButton()->click();
    }
    wizard->CancelButton()->click();
    EXPECT_EQ(wizard->result(), QDialog::Rejected);
    wizard.reset();
    EXPECT_EQ(list.Count(), 0u) << cancelAt;
    EXPECT_FALSE(plat::FileExists(WizardWorkingFile())) << cancelAt;
  }
  // A tab chosen before the page's defaults arrive stays chosen.
  {
    CPlanWizardDlg wizard(nullptr, 0, CPlanWizardDlg::kPageDest);
    wizard.show();
    wizard.DestPage()->Tabs()->setCurrentIndex(wiz::kTabNetwork);
    ASSERT_TRUE(RunUntil([&] { return wizard.Worker()->Pending() == 0; }));
    EXPECT_EQ(wizard.DestPage()->Tabs()->currentIndex(), wiz::kTabNetwork);
  }
  // To the end: the plan as looked around.
  CPlanWizardDlg make(nullptr, 0);
  make.show();
  for (int page = 0; page < 4; ++page) {
    LookAround(make, docs, store);
    if (page < 3) make.NextButton()->click();
  }
  make.FinishButton()->click();
  ASSERT_NE(make.ResultPlanId(), 0u) << Messages();
  CPlan* plan = list.Find(make.ResultPlanId());
  ASSERT_NE(plan, nullptr);
  EXPECT_EQ(plan->Name(), "Looked around");
  EXPECT_TRUE(plan->MatchPath(docs + "\\a.txt", false));

  // Changing it: Cancel at each page leaves it as it was (and running).
  const PlanSettings before = plan->Settings();
  for (int start = 0; start < 4; ++start) {
    for (int cancelAt = start; cancelAt < 4; ++cancelAt) {
      auto wizard = std::make_unique<CPlanWizardDlg>(nullptr, plan->Id(), start);
      wizard->show();
      while (wizard->CurrentPage() < cancelAt) {
        LookAround(*wizard, docs, store + " 2");
        wizard->NextButton()->click();
      }
      wizard->CancelButton()->click();
      wizard.reset();
      EXPECT_EQ(plan->Settings().storePath, before.storePath);
      EXPECT_EQ(plan->Name(), before.name);
      EXPECT_TRUE(plan->Enabled());
    }
  }
  // Renamed on its card, then changed in the wizard: the wizard shows the
  // card's name and keeps it; a name typed in the wizard is the plan's.
  ASSERT_TRUE(plan->SetName("Renamed on its card"));
  plan->Save();
  for (const char* typed : {"", "Renamed in the wizard"}) {
    CPlanWizardDlg change(nullptr, plan->Id(), CPlanWizardDlg::kPageWhen);
    change.show();
    EXPECT_EQ(change.WhenPage()->NameEdit()->text().toStdString(), plan->Name());
    if (*typed) Type(change.WhenPage()->NameEdit(), typed);
    change.FinishButton()->click();
    ASSERT_TRUE(RunUntil([&] { return change.result() == QDialog::Accepted; })) << Messages();
    EXPECT_EQ(plan->Name(), *typed ? typed : "Renamed on its card");
  }
  // The name field holds a name of the limit, no more; the plan takes it.
  {
    CPlanWizardDlg change(nullptr, plan->Id(), CPlanWizardDlg::kPageWhen);
    change.show();
    Type(change.WhenPage()->NameEdit(), std::string(300, 'x'));
    EXPECT_EQ(change.WhenPage()->NameEdit()->text().size(), 255);
    change.FinishButton()->click();
    ASSERT_TRUE(RunUntil([&] { return change.result() == QDialog::Accepted; })) << Messages();
    EXPECT_EQ(plan->Name(), std::string(255, 'x'));
  }
  // Jobs that were still running when their windows went come back to nothing.
  Settle(300);
}

}  // namespace
