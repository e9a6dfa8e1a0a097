// The plan wizard's answers, and plans made and changed through it (offscreen).
#include "WizardTestKit.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

// Answers read back as settings (FTP normalised) and as sources (only what the type uses).
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

// New and changed plans take the answers and keep their state; a taken name changes nothing.
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

  FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  // Answers for a plan on a server (type 4, tab 3) or in a bucket (type 5).
  auto serverAnswers = [&](const std::string& name, int type, bool init, const auto& settings) {
    const std::string ini = Answers(name, "", 1, init, home_.System());
    plat::WriteProfileInt(ini, "BackupDestination", "StorageType", type);
    plat::WriteProfileInt(ini, "BackupDestination", "ActiveTabNew",
                          type == 4 ? 3 : wiz::kTabObject);
    if constexpr (std::is_same_v<std::decay_t<decltype(settings)>, FtpSettings>)
      WriteFtpAnswers(ini, settings);
    else
      WriteObjectAnswers(ini, settings);
    return ini;
  };
  CPlan* plan =
      FinishNewPlan(list, serverAnswers("Ftp", 4, false, server.Settings("wiz/")), extensions_);
  ASSERT_NE(plan, nullptr);
  EXPECT_EQ(plan->Settings().storageType, kStorageFtp);
  EXPECT_EQ(plan->DestinationRoot(), "/bvuser/wiz/");
  EXPECT_TRUE(RunUntil([&] { return fs::exists(server.NativeOf("/bvuser/wiz/Brevanto.dat")); }));
  EXPECT_EQ(Profile(plan->GetPlanFolder() + "Devices.ini", "FTP Device", "Server"), "127.0.0.1");
  // The password stays in "Devices.ini" alone; changing the plan finds it there.
  EXPECT_EQ(Profile(plan->GetPlanFolder() + "UI.ini", "BackupDestination", "Password"), "<none>");
  std::string working;
  ASSERT_TRUE(BeginAnswers(plan->Id(), &working));
  EXPECT_EQ(ReadFtpAnswers(working).password, FtpServer::kPassword);
  c = BeginPlanChange(first);
  EXPECT_TRUE(CompletePlanChange(list, first, c,
                                 serverAnswers("First", 4, false, server.Settings("moved/")),
                                 extensions_, true));
  EXPECT_EQ(first->DestinationRoot(), "/bvuser/moved/");
  EXPECT_TRUE(RunUntil([&] { return fs::exists(server.NativeOf("/bvuser/moved/Brevanto.dat")); }));

  // A bucket: its secret goes to "Devices.ini" alone, and a change keeps it.
  CephGateway gw;
  ASSERT_TRUE(gw.Ok()) << gw.Reason();
  ASSERT_TRUE(gw.MakeBucket("wiz"));
  CPlan* bucket = FinishNewPlan(list, serverAnswers("Bucket", 5, false, gw.Settings("wiz", "team")),
                                extensions_, CephGateway::SecretKey());
  ASSERT_NE(bucket, nullptr);
  EXPECT_EQ(std::make_tuple(bucket->StorageType(), bucket->DestinationRoot()),
            std::make_tuple(int32_t{kStorageObject}, std::string("/team/")));
  EXPECT_TRUE(RunUntil(
      [&] { return gw.Keys("wiz", "") == std::vector<std::string>{"team/Brevanto.dat"}; }));
  const std::string devices = bucket->GetPlanFolder() + "Devices.ini";
  EXPECT_EQ(Profile(devices, "Object Store Device", "SecretKey"), CephGateway::SecretKey());
  EXPECT_EQ(PlanFile(bucket->Id(), "UI.ini").find(CephGateway::SecretKey()), std::string::npos);
  CPlanWizardDlg change(nullptr, bucket->Id(), CPlanWizardDlg::kPageDest);
  EXPECT_EQ(change.DestPage()->Tabs()->currentIndex(), wiz::kTabObject);
  EXPECT_EQ(change.DestPage()->findChild<QLineEdit*>("objectSecretKeyEdit")->text().toStdString(),
            CephGateway::SecretKey());

  // A plan set up again on an earlier store it continues records that store and backs up into it;
  // answers naming another folder since continue nothing.
  const std::string earlier = NewStoreId();
  ASSERT_EQ(
      gw.Request("PUT", "/wiz/again/Brevanto.dat", StoreMarkerText(earlier, {}, InstallationId())),
      200);
  ASSERT_EQ(gw.Request("PUT", "/wiz/again/Latest/old.txt", "old"), 200);
  WriteNative(home_.NativeOf("kept.txt"), "k");
  const std::string again = serverAnswers("Again", 5, true, gw.Settings("wiz", "again"));
  WriteContinuedStore(again, earlier);
  WriteObjectAnswers(again, gw.Settings("wiz", "elsewhere"));
  EXPECT_EQ(ReadContinuedStore(again), "");
  WriteObjectAnswers(again, gw.Settings("wiz", "again"));
  CPlan* continued = FinishNewPlan(list, again, extensions_, CephGateway::SecretKey());
  ASSERT_NE(continued, nullptr);
  EXPECT_EQ(Profile(continued->GetPlanFolder() + "Store.ini", "Store", "Id"), earlier);
  auto sent = [&] {
    const std::vector<std::string> keys = gw.Keys("wiz", "again/Latest/");
    return std::any_of(keys.begin(), keys.end(),
                       [](const std::string& k) { return k.ends_with("/kept.txt"); });
  };
  EXPECT_TRUE(RunUntil(sent));
  EXPECT_EQ(gw.Keys("wiz", "again/Latest/old.txt").size(), 1u);
}

// A folder plan filled in by hand loads back in a second plan list as answered.
TEST_F(WizardTest, NewPlanFilledInByHandLoadsBackAsTheSamePlan) {
  home_.Write("Projects/a.txt", "hello");
  home_.Write("Projects/sub/b.txt", "0123456789");
  home_.Write("Other/c.txt", "c");
  const std::string projects = home_.SystemOf("Projects");
  const ScopedLocale british;  // weeks from Monday
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
  british.Restore();
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

}  // namespace
}  // namespace bvtest
