// The plan wizard's pages (offscreen): their checks as each answer is given.
#include <QColor>
#include <QImage>

#include "WizardTestKit.h"
#include "destinations/ObjectSession.h"
#include "support/HostileS3.h"
#include "ui/wizard/CDlgConnectObjectStore.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

// Each page refuses Next without an answer and says why; FTP fields are stored as typed.
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
  // A folder the object storage test refused holds Next back until another is typed or passes.
  HostileS3 s3(HostileS3::kHonest);
  ObjectSession planted;
  planted.SetOptions(s3.Settings("theirs/"));
  const std::string marker = "theirs/Brevanto.dat";
  ASSERT_TRUE(planted.PutText(marker, StoreMarkerText(NewStoreId(), {}, NewStoreId())).Ok());
  dest->Tabs()->setCurrentIndex(wiz::kTabObject);
  const ObjectStoreSettings at = s3.Settings("theirs/inner");
  std::vector<std::pair<const char*, std::string>> typedBefore;
  for (const auto& [name, text] : {std::pair{"objectEndpointEdit", at.endpoint},
                                   {"objectBucketEdit", at.bucket},
                                   {"objectPrefixEdit", at.prefix},
                                   {"objectAccessKeyEdit", at.accessKey},
                                   {"objectSecretKeyEdit", at.secretKey}}) {
    typedBefore.emplace_back(name, field(name)->text().toStdString());
    Type(field(name), text);
  }
  const auto test = [&] {
    std::string said;
    WhenModal<CDlgConnectObjectStore>([&](CDlgConnectObjectStore* box) {
      EXPECT_TRUE(RunUntil([&] { return box->Finished(); }, 30000));
      said = box->Message()->text().toStdString();
      box->accept();
    });
    dest->findChild<QPushButton*>("objectTestButton")->click();
    return said;
  };
  EXPECT_EQ(test(), FormatText(GetText("DIALOG_CONNECT_OBJECT_STORE", "CANNOT_INSIDE_STORE"),
                               {"s3://hostile/theirs/"}));
  EXPECT_FALSE(wizard.NextButton()->isEnabled());
  wizard.GoNext();
  EXPECT_EQ(wizard.CurrentPage(), 2);
  EXPECT_TRUE(Said("WIZARD_BACKUP_DEST", "OBJECT_FOLDER_REFUSED"));
  const std::pair<std::function<void()>, bool> held[] = {
      {[&] { Type(field("objectPrefixEdit"), "mine"); }, true},
      {[&] { Type(field("objectPrefixEdit"), "theirs/inner"); }, false},
      {[&] { Type(field("objectPrefixEdit"), "/theirs//inner/"); }, false},  // the same folder
      {[&] { Type(field("objectEndpointEdit"), at.endpoint + "/"); }, false},
      {[&] { Type(field("objectEndpointEdit"), at.endpoint); }, false},
      {[&] { dest->Tabs()->setCurrentIndex(wiz::kTabFtp); }, true},
      {[&] { dest->Tabs()->setCurrentIndex(wiz::kTabObject); }, false},
      {[&] {
         ASSERT_TRUE(planted.Delete(marker).Ok());
         EXPECT_EQ(test(), GetText("DIALOG_CONNECT_OBJECT_STORE", "MSG_SUCCESS"));
       },
       true}};
  QColor looks[2];  // held back, free: Next's face tells them apart
  for (const auto& [step, enabled] : held) {
    step();
    EXPECT_EQ(wizard.NextButton()->isEnabled(), enabled);
    EXPECT_EQ(wizard.NextButton()->toolTip().isEmpty(), enabled);  // held: it says why
    const QImage face = wizard.NextButton()->grab().toImage();
    looks[enabled] = face.pixelColor(4, face.height() / 2);
  }
  EXPECT_NE(looks[0], looks[1]);
  for (const auto& [name, text] : typedBefore) Type(field(name), text);
  dest->Tabs()->setCurrentIndex(wiz::kTabFtp);
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

// A destination is checked as it is chosen; a change keeps the plan running and its schedule.
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
  // A click as the page appears was meant for the window below; another kind only when confirmed.
  QTabBar* tabs = dest->Tabs();
  Click(tabs, tabs->tabRect(wiz::kTabFtp).center());
  EXPECT_EQ(tabs->currentIndex(), wiz::kTabLocal);
  ASSERT_TRUE(RunUntil([&] { return !dest->Busy(); }));
  EXPECT_EQ(dest->Folder()->text().toStdString(), dir_.NativeOf("evol") + "/H");
  QThread::msleep(QApplication::doubleClickInterval());
  for (bool change : {false, true}) {
    Click(tabs, tabs->tabRect(wiz::kTabUsbKey).center());
    ASSERT_EQ(tabs->currentIndex(), wiz::kTabUsbKey);
    QString asked;
    WhenModal<CDlgSureMessage>([&](CDlgSureMessage* sure) {
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
  WhenModal<CDlgSureMessage>([](CDlgSureMessage* sure) { sure->OkButton()->click(); });
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
  // A folder another user made for all (a shared disk's top).
  fs::create_directories(evol + "/shared");
  ASSERT_EQ(chown((evol + "/shared").c_str(), 65534, 65534), 0);
  fs::permissions(evol + "/shared", fs::perms(01777));
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
      {evol + "/shared", "STORE_OPEN_TO_OTHERS", false, true},
      {evol + "/shared/Backups", "STORE_MOVABLE_BY_OTHERS", false, true, evol + "/shared"},
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
    const DestFindings shared = ExamineDestination(dir_.SystemOf("open"), {}, "", true);
    _exit(!closed.notWritable ? 11 : open.notWritable ? 12 : !shared.openToOthers ? 13 : 0);
  }
  int status = 0;
  ASSERT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "10 setuid, 11 closed taken as writable, 12 open refused, 13 open to others not said";

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

}  // namespace
}  // namespace bvtest
