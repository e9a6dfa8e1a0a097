// The plan wizard walked every way through (offscreen).
#include "WizardTestKit.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

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

// Back and forth, Cancel anywhere, a rename: all end cleanly; no page shows a system path.
TEST_F(WizardTest, EveryWayThroughEndsCleanly) {
  home_.Write("Docs/a.txt", "a");
  const std::string docs = home_.SystemOf("Docs");
  const std::string store = dir_.NativeOf("evol") + "/Docs store";
  PlanList& list = PlanList::Instance();
  // A new plan: forth to a page, back to the first and forth again, Cancel there.
  for (int cancelAt = 0; cancelAt < 4; ++cancelAt) {
    auto wizard = std::make_unique<CPlanWizardDlg>(nullptr, 0);
    wizard->show();
    // Its answers (a server password among them) lie in a private folder.
    EXPECT_EQ(fs::status(dir_.NativeOf("data/Wizard")).permissions() & fs::perms::all,
              fs::perms::owner_all);
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
}  // namespace bvtest
