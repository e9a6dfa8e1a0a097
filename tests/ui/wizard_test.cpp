// The plan wizard's answers and its four pages (offscreen), filled in by hand.
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

namespace fs = std::filesystem;

namespace {

using bvtest::ReadNative;
using bvtest::RunUntil;
using bvtest::Shoot;
using bvtest::Type;
using bvtest::WriteNative;

std::string Profile(const std::string& ini, const char* section, const char* key) {
  return plat::GetProfileString(ini, section, key, "<none>", 4095);
}

// E: a local disk, U: a USB hard drive, F: a USB key, N: a network drive.
class WizardTest : public bvtest::UiTest {
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

// Answers files read back as settings (FTP normalised) and as sources (only
// what the plan type uses).
TEST_F(WizardTest, AnswersBecomeSettingsAndSources) {
  const std::string ini = Answers(" Docs ", "E:\\Store", 1, false, "C:\\x");
  PlanSettings s;
  ASSERT_TRUE(SettingsFromAnswers(ini, &s));
  EXPECT_EQ(std::make_tuple(s.name, s.storePath, s.storageType),
            std::make_tuple("Docs", "E:\\Store\\", 1));
  EXPECT_EQ(std::make_tuple(s.scheduleUnit, s.scheduleNum, s.versionNumber, s.kind, s.enabled),
            std::make_tuple(kUnitDaily, 1, 4, 1, 0));
  plat::WriteProfileString(ini, "WizardPage3Options", "Daily", "0");
  EXPECT_FALSE(SettingsFromAnswers(ini, &s));  // no schedule chosen
  plat::WriteProfileString(ini, "WizardPage3Options", "Manually", "1");
  plat::WriteProfileString(ini, "WizardPage3Options", "PlanName", "");
  EXPECT_FALSE(SettingsFromAnswers(ini, &s));
  plat::WriteProfileString(ini, "WizardPage3Options", "PlanName", "Docs");
  plat::WriteProfileInt(ini, "BackupDestination", "StorageType", 4);
  plat::WriteProfileString(ini, "BackupDestination", "StoragePath", "");
  FtpSettings typed;
  typed.port = 2121;
  typed.root = "backup";
  typed.user = "ann";
  typed.password = " p=ss;word ";
  typed.retryCount = -3;
  typed.timeout = 500;
  typed.passive = 0;
  typed.pinnedKey = "sha256//AbC+/=";
  for (const auto& [server, shown, store] :
       {std::tuple{"FTP://Files.Example.COM/", "files.example.com",
                   "ftp://files.example.com/backup/"},
        std::tuple{"SFTP://Files.Example.COM:2222/", "sftp://files.example.com:2222",
                   "sftp://files.example.com:2222/backup/"}}) {
    typed.server = server;
    WriteFtpAnswers(ini, typed);
    ASSERT_TRUE(SettingsFromAnswers(ini, &s));
    EXPECT_EQ(std::make_tuple(s.storageType, s.ftp.server, s.storePath),
              std::make_tuple(kStorageFtp, shown, store));
  }
  EXPECT_EQ(std::make_tuple(s.ftp.port, s.ftp.root, s.ftp.user, s.ftp.password, s.ftp.passive),
            std::make_tuple(2121, std::string("/backup/"), std::string("ann"),
                            std::string(" p=ss;word "), 0));
  EXPECT_EQ(std::make_tuple(s.ftp.retryCount, s.ftp.timeout, s.ftp.pinnedKey),
            std::make_tuple(0, 120, std::string("sha256//AbC+/=")));

  const std::string src = dir_.SystemOf("src.ini");
  WriteNative(dir_.NativeOf("src.ini"),
              "[BackupDestination]\nBackupType=0\n"
              "[FileTypes]\nDocument Files=1\nVideos=0\nCustom File Type(s)=*.abc,*.doc\n"
              "[Document Files]\nItem1=1\nItem2=0\nItem3=1\n[Videos]\nItem1=1\n"
              "[ApplicationData]\nOutlook Data=1\n[CommonData]\nFiles in Pictures=1\n"
              "[Selected Folders]\nFolderList=C:\\A,C:\\A\\B,,D:\\X\n");
  const ExtensionCategory* cat = nullptr;
  for (const auto& c : extensions_)
    if (c.name == wiz::kCategories[0]) cat = &c;
  ASSERT_TRUE(cat && cat->entries.size() >= 3u && cat->entries[0].mask == "*.doc");
  SourceAnswers a = ReadSourceAnswers(src, extensions_);
  EXPECT_EQ(a.masks, (std::vector<std::string>{"*.doc", cat->entries[2].mask}));
  EXPECT_TRUE(a.folders.empty());
  WebChoices pictures{};
  pictures[1] = true;
  EXPECT_EQ(a.web, pictures);  // mail answers belong to another type
  plat::WriteProfileInt(src, "BackupDestination", "BackupType", 1);
  a = ReadSourceAnswers(src, extensions_);
  EXPECT_TRUE(a.masks.empty());
  for (size_t g = 0; g < 12; ++g) EXPECT_EQ(a.web[g], g >= 7) << g;
  plat::WriteProfileInt(src, "BackupDestination", "BackupType", 2);
  a = ReadSourceAnswers(src, extensions_);
  EXPECT_EQ(a.folders, (std::vector<std::string>{"C:\\A", "C:\\A\\B", "D:\\X"}));
  EXPECT_TRUE(a.masks.empty() && a.web == WebChoices{});
  // Own extensions follow the list's; one the list already brings is not doubled.
  plat::WriteProfileInt(src, "NEW_WIZARD_SELECT_SOURCE", "ActiveTab", 1);
  a = ReadSourceAnswers(src, extensions_);
  EXPECT_TRUE(a.folders.empty());
  EXPECT_EQ(a.masks, (std::vector<std::string>{"*.doc", cat->entries[2].mask, "*.abc"}));
  NormaliseAnswers(src);
  EXPECT_EQ(plat::GetProfileInt(src, "ApplicationData", "Outlook Data", -1), 0);
  EXPECT_EQ(plat::GetProfileInt(src, "CommonData", "Files in Pictures", -1), 0);
}

// New and changed plans take the answers and keep their state; a taken name
// changes nothing; FTP answers put the marker on the server.
TEST_F(WizardTest, FinishingNewAndChangedPlansAlsoOnFtp) {
  PlanList& list = PlanList::Instance();
  const std::string src = home_.System();
  CPlan* manual = Finish("Manual", "E:\\M", 5, false);
  CPlan* daily = Finish("Daily", "E:\\D", 1, false);
  CPlan* first = Finish("First", "E:\\F", 5, true);
  ASSERT_TRUE(manual && daily && first);
  EXPECT_FALSE(manual->Enabled());
  EXPECT_EQ(manual->ScheduleUnit(), kUnitManual);
  EXPECT_EQ(manual->BackupTime(), 1767261600);
  EXPECT_TRUE(daily->Enabled() && first->Enabled());
  {
    std::lock_guard<std::recursive_mutex> lock(first->Lock());
    ASSERT_NE(first->Task(), nullptr);
  }
  for (CPlan* p : {manual, daily, first}) EXPECT_EQ(p->LastBackupTime(), 0) << p->Name();
  // The answers became the plan's own "UI.ini"; the rules hold the folder.
  EXPECT_EQ(Profile(manual->GetPlanFolder() + "UI.ini", "WizardPage3Options", "PlanName"),
            "Manual");
  EXPECT_TRUE(manual->MatchPath(src + "\\a.txt", false));
  EXPECT_FALSE(manual->MatchPath(dir_.System() + "\\a.txt", false));
  EXPECT_NE(PlanFile(manual->Id(), "IncExc.ini").find("item.mask=" + src), std::string::npos);
  EXPECT_EQ(Finish("Daily", "E:\\D2", 1, false), nullptr);
  EXPECT_EQ(list.Count(), 3u);

  // An empty folder: the first backup of the change copies nothing.
  const std::string other = home_.SystemOf("other");
  fs::create_directories(home_.NativeOf("other"));
  PlanChange c = BeginPlanChange(daily);
  EXPECT_FALSE(daily->Enabled());
  ASSERT_TRUE(CompletePlanChange(list, daily, c, Answers("Renamed", "E:\\Moved", 2, true, other),
                                 extensions_, true));
  EXPECT_TRUE(daily->Enabled());
  EXPECT_EQ(std::make_tuple(daily->Name(), daily->DestinationRoot()),
            std::make_tuple("Renamed", "E:\\Moved\\"));
  EXPECT_EQ(daily->ScheduleUnit(), kUnitWeekly);
  EXPECT_TRUE(daily->MatchPath(other + "\\x.txt", false));
  EXPECT_FALSE(daily->MatchPath(src + "\\a.txt", false));
  c = BeginPlanChange(manual);
  ASSERT_TRUE(CompletePlanChange(list, manual, c, Answers("Manual", "E:\\M", 1, true, src),
                                 extensions_, true));
  EXPECT_FALSE(manual->Enabled());  // stays off; no first backup for a stopped plan
  EXPECT_EQ(manual->ScheduleUnit(), kUnitDaily);
  c = BeginPlanChange(daily);
  EXPECT_FALSE(CompletePlanChange(list, daily, c, Answers("Manual", "E:\\Moved", 2, false, other),
                                  extensions_, true));
  EXPECT_EQ(daily->Name(), "Renamed");
  EXPECT_TRUE(daily->Enabled());
  EXPECT_EQ(daily->LastBackupTime(), 0);

  bvtest::FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
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
  EXPECT_TRUE(RunUntil([&] { return fs::exists(server.NativeOf("/bvuser/wiz/Brevanto.dat")); }));
  EXPECT_EQ(Profile(plan->GetPlanFolder() + "Devices.ini", "FTP Device", "Server"), "127.0.0.1");
  // The password stays in "Devices.ini" alone; changing the plan finds it there.
  EXPECT_EQ(Profile(plan->GetPlanFolder() + "UI.ini", "BackupDestination", "Password"), "<none>");
  std::string working;
  ASSERT_TRUE(BeginAnswers(plan->Id(), &working));
  EXPECT_EQ(ReadFtpAnswers(working).password, bvtest::FtpServer::kPassword);
  c = BeginPlanChange(first);
  EXPECT_TRUE(CompletePlanChange(list, first, c, ftpAnswers("First", server.Settings("moved/")),
                                 extensions_, true));
  EXPECT_EQ(first->DestinationRoot(), "/bvuser/moved/");
  EXPECT_TRUE(RunUntil([&] { return fs::exists(server.NativeOf("/bvuser/moved/Brevanto.dat")); }));

  // A bucket: its secret goes to "Devices.ini" alone, and a change keeps it.
  bvtest::CephGateway gw;
  ASSERT_TRUE(gw.Ok()) << gw.Reason();
  ASSERT_TRUE(gw.MakeBucket("wiz"));
  const std::string ini = Answers("Bucket", "", 1, false, home_.System());
  plat::WriteProfileInt(ini, "BackupDestination", "StorageType", 5);
  plat::WriteProfileInt(ini, "BackupDestination", "ActiveTabNew", wiz::kTabObject);
  WriteObjectAnswers(ini, gw.Settings("wiz", "team"));
  CPlan* bucket = FinishNewPlan(list, ini, extensions_, bvtest::CephGateway::SecretKey());
  ASSERT_NE(bucket, nullptr);
  EXPECT_EQ(std::make_tuple(bucket->StorageType(), bucket->DestinationRoot()),
            std::make_tuple(int32_t{kStorageObject}, std::string("/team/")));
  EXPECT_TRUE(RunUntil(
      [&] { return gw.Keys("wiz", "") == std::vector<std::string>{"team/Brevanto.dat"}; }));
  const std::string devices = bucket->GetPlanFolder() + "Devices.ini";
  EXPECT_EQ(Profile(devices, "Object Store Device", "SecretKey"), bvtest::CephGateway::SecretKey());
  EXPECT_EQ(PlanFile(bucket->Id(), "UI.ini").find(bvtest::CephGateway::SecretKey()),
            std::string::npos);
  CPlanWizardDlg change(nullptr, bucket->Id(), CPlanWizardDlg::kPageDest);
  EXPECT_EQ(change.DestPage()->Tabs()->currentIndex(), wiz::kTabObject);
  EXPECT_EQ(change.DestPage()->findChild<QLineEdit*>("objectSecretKeyEdit")->text().toStdString(),
            bvtest::CephGateway::SecretKey());
}

// Each page refuses Next without an answer and says why; FTP fields are
// stored as typed; a server out of reach still makes the plan.
TEST_F(WizardTest, PageChecksKeepTheUserOnThePage) {
  ASSERT_NE(Finish("Taken", "E:\\T", 0, false), nullptr);
  CPlanWizardDlg wizard(nullptr, 0);
  wizard.show();
  Shoot(&wizard, "wizard-1-type.png");
  CWPBackupType* type = wizard.TypePage();
  type->findChild<QRadioButton*>("typeCategories")->click();
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 0);
  EXPECT_TRUE(Said("WIZARD_BACKUP_TYPE", "HAVE_NOT_SELECTED_ANY_ITEM"));
  type->findChild<QRadioButton*>("typeWeb")->click();
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 0);
  type->findChild<QCheckBox*>("webBrowser")->click();
  NextTo(wizard, 1);
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
  NextTo(wizard, 2);
  const std::string& ini = wizard.AnswersFile();
  EXPECT_EQ(Profile(ini, "ApplicationData", "Internet Favorites"), "0");
  EXPECT_EQ(Profile(ini, "ApplicationData", "FireFox Bookmarks"), "1");

  CWPSelectDest* dest = wizard.DestPage();
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  dest->Tabs()->setCurrentIndex(wiz::kTabLocal);
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  auto field = [&](const char* name) { return dest->findChild<QLineEdit*>(name); };
  const std::pair<std::function<void()>, const char*> steps[] = {
      {[&] { Type(dest->Folder(), ""); }, "DESTINATION_FOLDER_IS_EMPTY"},
      {[&] { Type(dest->Folder(), dir_.NativeOf("uvol") + "/Backup"); },
       "DESTINATION_FOLDER_IS_NOT_HARDDISK"},
      {[&] { Type(dest->Folder(), "relative/folder"); }, "DESTINATION_FOLDER_IS_INVALID"},
      {[&] { dest->Tabs()->setCurrentIndex(wiz::kTabObject); }, "OBJECT_ENDPOINT_IS_EMPTY"},
      {[&] { Type(field("objectEndpointEdit"), "https://s3.example.com"); },
       "OBJECT_BUCKET_IS_EMPTY"},
      {[&] {
         Type(field("objectBucketEdit"), "files");
         Type(field("objectSecretKeyEdit"), "Top-Secret-Key");
       },
       "OBJECT_KEYS_ARE_EMPTY"},
      {[&] {
         Type(field("objectAccessKeyEdit"), "AKIA");
         Type(field("objectPrefixEdit"), "team\\..\\other");
       },
       "OBJECT_PREFIX_CLIMBS"},
      {[&] { Type(field("objectPrefixEdit"), "team/./other"); }, "OBJECT_PREFIX_CLIMBS"},
      {[&] {
         Type(field("objectPrefixEdit"), "");
         dest->Tabs()->setCurrentIndex(wiz::kTabFtp);
         Type(field("ftpServerEdit"), "");
         Shoot(&wizard, "wizard-3-ftp.png");
       },
       "FTP_SERVER_ADDRESS_IS_EMPTY"},
      {[&] {
         // "sftp://" typed chooses SFTP and its port; FTPS takes both back.
         auto* security = dest->findChild<QComboBox*>("ftpSecurityCombo");
         Type(field("ftpPortEdit"), "21");
         Type(field("ftpServerEdit"), "sftp://ftp.example.com");
         EXPECT_EQ(std::make_pair(security->currentIndex(), field("ftpPortEdit")->text()),
                   std::make_pair(int{kSftp}, QString("22")));
         security->setCurrentIndex(kFtpsRequired);
         emit security->activated(kFtpsRequired);
         EXPECT_EQ(field("ftpServerEdit")->text() + ":" + field("ftpPortEdit")->text(),
                   "ftp.example.com:21");
         Type(field("ftpPortEdit"), "");
       },
       "FTP_PORT_IS_EMPTY"},
      {[&] { Type(field("ftpPortEdit"), "2121"); }, "FTP_USER_NAME_IS_EMPTY"},
      {[&] {
         Type(field("ftpUserEdit"), "ann");
         Type(field("ftpPasswordEdit"), "s3cret");
         dest->findChild<QCheckBox*>("ftpProxyCheck")->click();
       },
       "FTP_PROXY_ADDRESS_IS_EMPTY"},
      {[&] { Type(field("ftpProxyEdit"), "proxy.lan"); }, "FTP_PROXY_PORT_IS_EMPTY"},
  };
  for (const auto& [step, said] : steps) {
    step();
    wizard.NextButton()->click();
    EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", said)) << said;
    EXPECT_EQ(wizard.CurrentPage(), 2) << said;
  }
  // Unencrypted FTP chosen: its warning shows whole at the wizard's first size.
  auto* security = dest->findChild<QComboBox*>("ftpSecurityCombo");
  security->setCurrentIndex(kFtpPlain);
  emit security->activated(kFtpPlain);
  QApplication::processEvents();
  auto* warning = dest->findChild<QLabel*>("ftpClearWarning");
  ASSERT_TRUE(warning->isVisible());
  EXPECT_GE(warning->height(), warning->heightForWidth(warning->width()));
  const QWidget* last = dest->findChild<QPushButton*>("ftpTestButton");
  EXPECT_LE(last->mapTo(&wizard, QPoint(0, last->height())).y(),
            wizard.findChild<QWidget*>("wizardFooter")->y())
      << "the page's last row is cut off";
  security->setCurrentIndex(kFtpsRequired);
  emit security->activated(kFtpsRequired);
  Type(field("ftpProxyPortEdit"), "8021");
  NextTo(wizard, 3);
  const std::pair<const char*, const char*> stored[] = {
      {"StorageType", "4"},   {"ActiveTabNew", "3"}, {"Server", "ftp.example.com"},
      {"Port", "2121"},       {"User", "ann"},       {"Password", "s3cret"},
      {"Proxy", "proxy.lan"}, {"ProxyPort", "8021"}, {"Security", "0"}};
  for (const auto& [key, value] : stored) EXPECT_EQ(Profile(ini, "BackupDestination", key), value);
  EXPECT_EQ(Profile(ini, "BackupDestination", "ObjectBucket"), "files");
  std::string answers;
  ASSERT_TRUE(plat::ReadWholeFile(ini, &answers));
  EXPECT_EQ(answers.find("Top-Secret"), std::string::npos);

  QLineEdit* name = wizard.WhenPage()->NameEdit();
  Type(name, " Taken ");
  wizard.FinishButton()->click();
  EXPECT_TRUE(Said(FormatText(GetText("WIZARD_WHEN_TO_BACKUP", "PLAN_NAME_EXISTS"), {"Taken"})));
  Type(name, "");
  wizard.FinishButton()->click();
  EXPECT_TRUE(Said("WIZARD_WHEN_TO_BACKUP", "PLAN_NAME_IS_EMPTY"));
  EXPECT_EQ(wizard.CurrentPage(), 3);
  EXPECT_EQ(PlanList::Instance().Count(), 1u);
  Type(name, "Web data");
  wizard.FinishButton()->click();
  EXPECT_FALSE(Said("WIZARD_MAIN", "DESTINATION_NOT_AVAILABLE"));
  ASSERT_EQ(PlanList::Instance().Count(), 2u);
  EXPECT_FALSE(wizard.isVisible());
}

// A folder plan filled in by hand (ticks, an excluded folder, the default
// drive, the calendar) loads back in a second plan list as answered.
TEST_F(WizardTest, NewPlanFilledInByHandLoadsBackAsTheSamePlan) {
  home_.Write("Projects/a.txt", "hello");
  home_.Write("Projects/sub/b.txt", "0123456789");
  home_.Write("Other/c.txt", "c");
  const std::string projects = home_.SystemOf("Projects");
  const QLocale userLocale;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));  // weeks from Monday
  CPlanWizardDlg wizard(nullptr, 0);
  wizard.show();
  wizard.TypePage()->findChild<QRadioButton*>("typeFolders")->click();
  NextTo(wizard, 1);

  CFileTreeCtrl* tree = wizard.SourcePage()->Tree();
  ASSERT_TRUE(RunUntil([&] { return tree->FindItem(kMyComputerEntry) != nullptr; }));
  tree->Reveal(projects);
  ASSERT_TRUE(RunUntil([&] { return tree->FindItem(projects) != nullptr; }));
  QTreeWidgetItem* item = tree->FindItem(projects);
  item->setCheckState(0, Qt::Checked);  // what a click on its box does
  ASSERT_TRUE(RunUntil([&] { return !tree->Loading(); }));
  EXPECT_EQ(tree->Checked(), std::vector<std::string>{projects});
  QTreeWidgetItem* home = tree->FindItem(home_.System());
  EXPECT_EQ(home->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(tree->FindItem(home_.SystemOf("Other"))->checkState(0), Qt::Unchecked);
  // Ticking the parent takes the folder in; unticking it inside leaves its siblings.
  home->setCheckState(0, Qt::Checked);
  EXPECT_EQ(tree->Checked(), std::vector<std::string>{home_.System()});
  item->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(tree->Checked(), std::vector<std::string>{home_.SystemOf("Other")});
  EXPECT_EQ(home->checkState(0), Qt::PartiallyChecked);
  tree->FindItem(kMyComputerEntry)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(tree->Checked(), std::vector<std::string>{kMyComputerEntry});
  EXPECT_EQ(item->checkState(0), Qt::Checked);
  tree->SetChecked({projects});  // as answers read back tick it
  ASSERT_TRUE(RunUntil([&] { return !tree->Loading(); }));
  item = tree->FindItem(projects);
  ASSERT_TRUE(item && tree->Checked() == std::vector<std::string>{projects});
  Shoot(&wizard, "wizard-2-source.png");
  // A folder the shipped exclusions leave out (below /tmp) is refused, by name.
  fs::create_directories(dir_.NativeOf("scratch"));
  const std::string scratch = dir_.SystemOf("scratch");
  tree->Reveal(scratch);
  ASSERT_TRUE(RunUntil([&] { return tree->FindItem(scratch) != nullptr; }));
  tree->FindItem(scratch)->setCheckState(0, Qt::Checked);
  ASSERT_TRUE(RunUntil([&] { return !tree->Loading(); }));
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 1);
  EXPECT_TRUE(Said(FormatText(GetText("WIZARD_BACKUP_SOURCE", "FOLDER_IS_EXCLUDED"),
                              {dir_.NativeOf("scratch")})))
      << Messages();
  tree->FindItem(scratch)->setCheckState(0, Qt::Unchecked);
  NextTo(wizard, 2);
  EXPECT_EQ(Profile(wizard.AnswersFile(), "Selected Folders", "FolderList"), projects);

  // Defaults: the plan type's folder on the USB hard drive, shown natively.
  CWPSelectDest* dest = wizard.DestPage();
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy() && !dest->Folder()->text().isEmpty(); }));
  EXPECT_EQ(dest->Tabs()->currentIndex(), wiz::kTabExternal);
  EXPECT_EQ(dest->Folder()->text().toStdString(), dir_.NativeOf("uvol") + "/Brevanto Folder");
  ASSERT_TRUE(RunUntil([&] { return !dest->Space()->text().isEmpty(); }));
  Shoot(&wizard, "wizard-3-dest.png");
  dest->Tabs()->setCurrentIndex(wiz::kTabLocal);
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  EXPECT_EQ(dest->Drives()->count(), 2);  // C: and E:, not the USB or network drives
  Type(dest->Folder(), dir_.NativeOf("evol") + "/My Projects");
  NextTo(wizard, 3);
  EXPECT_EQ(Profile(wizard.AnswersFile(), "BackupDestination", "StoragePath"), "E:\\My Projects");

  CWPSelectWhenToBackup* when = wizard.WhenPage();
  ASSERT_TRUE(RunUntil([&] { return when->NameEdit()->text() == "My Folder"; }));
  EXPECT_EQ(when->Schedule()->currentRow(), 0);  // the type's default: continuously
  Type(when->NameEdit(), "Projects");
  when->Schedule()->setCurrentRow(ScheduleRowOfUnit(kUnitMonthly));
  EXPECT_TRUE(when->Calendar()->isEnabled());
  CWizardCalendar* calendar = when->Calendar();
  EXPECT_EQ(calendar->FirstDayOfWeek(), 1);
  QLocale::setDefault(userLocale);
  calendar->SetSelectedDate(QDate(2028, 2, 10));
  EXPECT_TRUE(calendar->DayButton(29) && !calendar->DayButton(30));  // a leap year
  EXPECT_TRUE(calendar->DayButton(10)->isChecked());
  calendar->SetSelectedDate(QDate(2030, 4, 1));
  calendar->findChild<QToolButton*>("calendarNext")->click();
  EXPECT_FALSE(calendar->DayButton(17)->isChecked());
  calendar->DayButton(17)->click();
  EXPECT_EQ(calendar->SelectedDate(), QDate(2030, 5, 17));
  when->Hour()->setValue(25);  // held at 23
  when->Minute()->setValue(7);
  when->Versions()->setValue(5000);
  EXPECT_EQ(when->Versions()->value(), GetMaxVersionCount());
  // A new plan keeps versions for a month; the last choice names the count.
  EXPECT_EQ(when->Keep()->currentData().toInt(), kKeepMonth);
  EXPECT_EQ(when->Keep()->count(), 5);
  when->Versions()->setValue(2);
  EXPECT_EQ(when->Keep()->itemText(4).toStdString(), "as many as fit (up to 2)");
  when->InitBackup()->setChecked(false);
  Shoot(&wizard, "wizard-4-when.png");
  when->Keep()->setCurrentIndex(when->Keep()->findData(kKeepWeek));
  wizard.FinishButton()->click();
  ASSERT_TRUE(RunUntil([&] { return wizard.result() == QDialog::Accepted; })) << Messages();
  const uint32_t id = wizard.ResultPlanId();
  CPlan* plan = PlanList::Instance().Find(id);
  ASSERT_NE(plan, nullptr);
  EXPECT_TRUE(plan->Enabled());
  EXPECT_TRUE(fs::exists(dir_.NativeOf("evol/My Projects")));
  plan->SetEnabled(false, 0);  // the copy below runs the plan instead (its file says enabled)

  PlanList other;
  ASSERT_TRUE(other.LoadAllPlans());
  CPlan* loaded = other.Find(id);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(std::make_tuple(loaded->Name(), loaded->DestinationRoot()),
            std::make_tuple("Projects", "E:\\My Projects\\"));
  EXPECT_EQ(std::make_tuple(loaded->StorageType(), loaded->ScheduleUnit(), loaded->ScheduleNum(),
                            loaded->VersionNumber()),
            std::make_tuple(kStorageLocal, kUnitMonthly, 1, 2));
  EXPECT_EQ(loaded->BackupTime(), WizardStartTime(2030, 5, 17, 23, 7, 0));
  EXPECT_EQ(loaded->KeepDays(), kKeepWeek);
  EXPECT_TRUE(loaded->Enabled());
  EXPECT_TRUE(loaded->MatchPath(home_.SystemOf("Projects/sub/b.txt"), false));
  EXPECT_FALSE(loaded->MatchPath(home_.SystemOf("Other/c.txt"), false));
  EXPECT_EQ(GetPlanType(loaded->GetPlanFolder()), kPlanSpecificFolder);
}

// A destination is checked as it is chosen (writable also for an ordinary
// user, its probe removed); a change keeps the plan running and its schedule.
TEST_F(WizardTest, DestinationIsCheckedWhenChosenAndAChangeKeepsThePlanRunning) {
  CPlan* plan = Finish("Home", "E:\\H", 0, false);
  ASSERT_TRUE(plan && plan->Enabled());
  ASSERT_TRUE(FinishNewPlan(PlanList::Instance(),
                            Answers("Other", "E:\\O", 0, false, "E:\\deep\\src"), extensions_));
  dir_.Write("evol/a file", "x");
  CPlanWizardDlg wizard(nullptr, plan->Id(), CPlanWizardDlg::kPageDest);
  wizard.show();
  ASSERT_EQ(wizard.CurrentPage(), 2);
  CWPSelectDest* dest = wizard.DestPage();
  // A click on the tabs as the page appears was meant for the window below;
  // another kind of plan only once the user says so.
  QTabBar* tabs = dest->Tabs();
  bvtest::Click(tabs, tabs->tabRect(wiz::kTabFtp).center());
  EXPECT_EQ(tabs->currentIndex(), wiz::kTabLocal);
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  EXPECT_EQ(dest->Folder()->text().toStdString(), dir_.NativeOf("evol") + "/H");
  QThread::msleep(QApplication::doubleClickInterval());
  for (bool change : {false, true}) {
    bvtest::Click(tabs, tabs->tabRect(wiz::kTabUsbKey).center());
    ASSERT_EQ(tabs->currentIndex(), wiz::kTabUsbKey);
    QString asked;
    bvtest::WhenModal<CDlgSureMessage>([&](CDlgSureMessage* sure) {
      for (const QLabel* label : sure->findChildren<QLabel*>()) asked += label->text();
      (change ? sure->OkButton() : sure->CancelButton())->click();
    });
    wizard.NextButton()->click();  // kept: its own tab again; changed: the folder is checked
    EXPECT_TRUE(asked.contains(tabs->tabText(wiz::kTabLocal)) &&
                asked.contains(tabs->tabText(wiz::kTabUsbKey)))
        << asked.toStdString();
    EXPECT_EQ(tabs->currentIndex(), change ? wiz::kTabUsbKey : wiz::kTabLocal);
    if (wizard.CurrentPage() == 3) wizard.BackButton()->click();
  }
  // A server that is this machine keeping the copies in a protected folder.
  tabs->setCurrentIndex(wiz::kTabFtp);
  auto field = [&](const char* name) { return dest->findChild<QLineEdit*>(name); };
  const std::string looped = home_.NativeOf("Backups");
  Type(field("ftpServerEdit"), "localhost");
  Type(field("ftpRootEdit"), looped);
  Type(field("ftpUserEdit"), "ann");
  bvtest::WhenModal<CDlgSureMessage>([](CDlgSureMessage* sure) { sure->OkButton()->click(); });
  // Another machine's folder of that name is no loop.
  const std::pair<const char*, int> servers[] = {{"localhost", 2}, {"sftp://192.0.2.7", 3}};
  for (const auto& [server, page] : servers) {
    Type(field("ftpServerEdit"), server);
    fs::remove(dir_.NativeOf("messages.log"));
    wizard.NextButton()->click();
    EXPECT_EQ(wizard.CurrentPage(), page) << server;
    EXPECT_EQ(
        Said(FormatText(GetText("WIZARD_BACKUP_DEST", "SERVER_STORE_INSIDE_SOURCE"), {looped})),
        page == 2)
        << server << Messages();
  }
  // One that would hold a protected folder: refused in its own words, naming both.
  wizard.BackButton()->click();
  const std::string above = fs::path(home_.Native()).parent_path().string();
  Type(field("ftpServerEdit"), "localhost");
  Type(field("ftpRootEdit"), above);
  fs::remove(dir_.NativeOf("messages.log"));
  wizard.NextButton()->click();
  EXPECT_EQ(wizard.CurrentPage(), 2);
  EXPECT_TRUE(Said(FormatText(GetText("WIZARD_BACKUP_DEST", "SERVER_STORE_HOLDS_SOURCES"),
                              {above, home_.Native()})))
      << Messages();
  tabs->setCurrentIndex(wiz::kTabLocal);  // back to its own kind: nothing to ask
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  const std::string evol = dir_.NativeOf("evol");
  const struct {
    std::string folder;
    const char* said;  // on the page, and as the message when Next refuses
    bool sameDisk;
    bool goesOn;
    std::string plan = {};  // the other plan the text names
  } cases[] = {
      {home_.NativeOf("Backups"), "STORE_INSIDE_SOURCE", true, true},
      {evol + "/a file/Backups", "DESTINATION_FOLDER_NOT_WRITABLE", false, false},
      {evol + "/" + std::string(256, 'n'), "DESTINATION_PATH_TOO_LONG", false, false},
      // A store hides what it holds: its own plan's folders, or another's.
      {fs::path(home_.Native()).parent_path().string(), "STORE_HOLDS_SOURCES", true, false},
      {evol + "/deep", "STORE_HOLDS_OTHER_PLAN", false, false, "Other"},
      {evol + "/Fine", nullptr, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    Type(dest->Folder(), c.folder);
    const QString said =
        c.said ? QString::fromStdString(FormatText(GetText("WIZARD_BACKUP_DEST", c.said), {c.plan}))
               : "";
    EXPECT_TRUE(RunUntil([&] {
      return !dest->Busy() && dest->Findings()->isVisible() == (c.said != nullptr) &&
             (!c.said || dest->Findings()->text() == said) &&
             dest->SameDisk()->isVisible() == c.sameDisk;
    })) << dest->Findings()->text().toStdString();
    if (c.sameDisk) Shoot(&wizard, "wizard-3-dest-checked.png");
    fs::remove(dir_.NativeOf("messages.log"));
    wizard.NextButton()->click();
    EXPECT_EQ(wizard.CurrentPage(), c.goesOn ? 3 : 2);
    if (!c.goesOn) {
      EXPECT_TRUE(Said(said.toStdString())) << Messages();
    }
    if (c.goesOn && c.said) wizard.BackButton()->click();
  }
  EXPECT_FALSE(fs::exists(evol + "/.brevanto-write-probe"));
  EXPECT_FALSE(fs::exists(home_.NativeOf(".brevanto-write-probe")));

  ASSERT_EQ(wizard.CurrentPage(), 3);
  CWPSelectWhenToBackup* when = wizard.WhenPage();
  EXPECT_EQ(when->NameEdit()->text(), "Home");
  EXPECT_FALSE(when->InitBackup()->isChecked());
  // Each unit offers its own count until the user picks one.
  when->Schedule()->setCurrentRow(ScheduleRowOfUnit(kUnitOtherInterval));
  EXPECT_EQ(when->Interval()->value(), 4);
  when->Schedule()->setCurrentRow(ScheduleRowOfUnit(kUnitMinutes));
  EXPECT_TRUE(when->Interval()->isEnabled());
  EXPECT_EQ(when->Interval()->value(), 15);
  Shoot(&wizard, "wizard-4-interval.png");
  wizard.FinishButton()->click();
  EXPECT_FALSE(plan->Enabled());  // stopped, its destination let go, then changed
  ASSERT_TRUE(RunUntil([&] { return wizard.result() == QDialog::Accepted; }));
  EXPECT_TRUE(wizard.Changed() && plan->Enabled());
  EXPECT_EQ(plan->DestinationRoot(), "E:\\Fine\\");
  EXPECT_EQ(Profile(plan->GetPlanFolder() + "UI.ini", "BackupDestination", "StoragePath"),
            "E:\\Fine");
  for (int round = 0; round < 2; ++round) {
    PlanSettings stored;
    ASSERT_TRUE(ReadPlanFile(plan->GetPlanFolder() + "Plan.ini", &stored, false));
    EXPECT_EQ(std::make_tuple(stored.scheduleUnit, stored.scheduleNum),
              std::make_tuple(kUnitMinutes, 15));
    if (round == 1) break;
    CPlanWizardDlg change(nullptr, plan->Id());  // its folders ticked again from the answers
    change.show();
    NextTo(change, 3);
    EXPECT_EQ(change.WhenPage()->Interval()->value(), 15);
    change.FinishButton()->click();
    ASSERT_TRUE(RunUntil([&] { return change.result() == QDialog::Accepted; })) << Messages();
  }

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
  int status = 0;
  ASSERT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 closed taken as writable, 12 open refused";

  // Two probes at once in one folder: neither takes it for unwritable.
  std::atomic<int> unwritable{0};
  auto probe = [&] {
    for (int i = 0; i < 300; ++i)
      unwritable +=
          ExamineDestination(dir_.SystemOf("evol") + "\\Probed", {}, "", true).notWritable;
  };
  std::thread other(probe);
  probe();
  other.join();
  EXPECT_EQ(unwritable.load(), 0);
}

// Own extensions and single category entries are stored as answered.
TEST_F(WizardTest, OwnExtensionsAndCategoryEntries) {
  CPlanWizardDlg wizard(nullptr, 0);
  wizard.show();
  wizard.TypePage()->findChild<QRadioButton*>("typeFolders")->click();
  NextTo(wizard, 1);
  CWPSelectSource* source = wizard.SourcePage();
  source->Tabs()->setCurrentIndex(1);
  CSpecificExtList* list = source->ExtensionList();
  EXPECT_FALSE(list->AnyChosen());

  CExtFileDlg editor(&wizard);
  editor.show();
  for (const char* bad : {"a,b", "a\\b", "a/b", "*", "*.*", ".", "a b", "x.", "\"q\"",
                          "this-extension-is-far-too-long-to-be-a-real-extension-of-any-file-ok"})
    EXPECT_EQ(NormaliseExtensionMask(bad), "") << bad;
  for (const auto& [typed, added] : {std::pair{"ods", true}, {"*.ODS", true}, {"a,b", false}}) {
    Type(editor.Edit(), typed);
    EXPECT_EQ(editor.AddTyped(), added) << typed;  // "*.ODS" is there already
  }
  EXPECT_TRUE(Said("WIZARD_EXT_DIALOG", "INVALID_EXTENSION"));
  EXPECT_EQ(NormaliseExtensionMask("tar.gz"), "*.tar.gz");
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
  NextTo(wizard, 2);
  const std::string& ini = wizard.AnswersFile();
  const std::tuple<const char*, const char*, const char*> stored[] = {
      {"NEW_WIZARD_SELECT_SOURCE", "ActiveTab", "1"},
      {"FileTypes", "Custom File Type(s)", "*.blend"},
      {"FileTypes", "Photos and Pictures", "1"},
      {"FileTypes", "Videos", "0"},
      {"Photos and Pictures", "Item2", "1"},
      {"Photos and Pictures", "Item1", "0"}};
  for (const auto& [section, key, value] : stored) EXPECT_EQ(Profile(ini, section, key), value);
  const SourceAnswers a = ReadSourceAnswers(ini, extensions_);
  ASSERT_EQ(a.masks.size(), 2u);
  EXPECT_EQ(a.masks[1], "*.blend");
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

// Every choice of the page shown, leaving an answer that lets Next go on.
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
      source->Tabs()->setCurrentIndex(1);
      RunSoon(nullptr, [] {  // the modal extension editor, closed as soon as it shows
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
      for (QLineEdit* edit : dest->findChildren<QLineEdit*>())  // the FTP tab's fields
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

// Every way through (back and forth, Cancel anywhere, a rename) ends cleanly
// with windows destroyed while their jobs run; no page shows a system path.
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
  // A tab or folder chosen before the page's late defaults outlives them.
  {
    CPlanWizardDlg wizard(nullptr, 0, CPlanWizardDlg::kPageDest);
    wizard.show();
    CWPSelectDest* dest = wizard.DestPage();
    dest->Tabs()->setCurrentIndex(wiz::kTabNetwork);
    ASSERT_TRUE(RunUntil([&] { return wizard.Worker()->Pending() == 0; }));
    EXPECT_EQ(dest->Tabs()->currentIndex(), wiz::kTabNetwork);
    Answers("Typed early", "", 1, false, home_.System());
    ASSERT_TRUE(plat::WriteFileAtomic(wizard.AnswersFile(),
                                      ReadNative(dir_.NativeOf("answers.ini")), true));
    dest->Tabs()->setCurrentIndex(wiz::kTabExternal);
    dest->Tabs()->setCurrentIndex(wiz::kTabLocal);  // asks for the drive's default folder
    const std::string typed = dir_.NativeOf("evol") + "/Typed early";
    Type(dest->Folder(), typed);
    ASSERT_TRUE(RunUntil([&] { return wizard.Worker()->Pending() == 0; }));
    EXPECT_EQ(dest->Folder()->text().toStdString(), typed);
    NextTo(wizard, 3);
    wizard.FinishButton()->click();
    CPlan* early = list.Find(wizard.ResultPlanId());
    ASSERT_NE(early, nullptr) << Messages();
    EXPECT_EQ(early->Settings().storePath, "E:\\Typed early\\");
    list.DeletePlan(early->Id());
  }
  CPlanWizardDlg make(nullptr, 0);
  make.show();
  for (int page = 0; page < 4; ++page) {
    LookAround(make, docs, store);
    if (page < 3) make.NextButton()->click();
  }
  make.FinishButton()->click();
  CPlan* plan = list.Find(make.ResultPlanId());
  ASSERT_NE(plan, nullptr) << Messages();
  EXPECT_EQ(plan->Name(), "Looked around");
  EXPECT_TRUE(plan->MatchPath(docs + "\\a.txt", false));

  // Changing it: Cancel at each page leaves it as it was (and running).
  const PlanSettings before = plan->Settings();
  for (int cancelAt = 0; cancelAt < 4; ++cancelAt) {
    auto wizard = std::make_unique<CPlanWizardDlg>(nullptr, plan->Id(), cancelAt % 2 ? 1 : 0);
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
  // The wizard keeps a name given on the card, or takes one typed (cut at 255).
  ASSERT_TRUE(plan->SetName("Renamed on its card"));
  plan->Save();
  for (const std::string& typed : {std::string(), std::string("Typed"), std::string(300, 'x')}) {
    CPlanWizardDlg change(nullptr, plan->Id(), CPlanWizardDlg::kPageWhen);
    change.show();
    const std::string shown = change.WhenPage()->NameEdit()->text().toStdString();
    EXPECT_EQ(shown, plan->Name());
    if (!typed.empty()) Type(change.WhenPage()->NameEdit(), typed);
    change.FinishButton()->click();
    ASSERT_TRUE(RunUntil([&] { return change.result() == QDialog::Accepted; })) << Messages();
    EXPECT_EQ(plan->Name(), typed.empty() ? shown : typed.substr(0, 255));
  }
  // Jobs that were still running when their windows went come back to nothing.
  RunUntil([] { return false; }, 300);
}

}  // namespace
