#include "ui/wizard/CWPSelectSource.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QVBoxLayout>

#include "plans/PlanSources.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/CExtFileDlg.h"
#include "ui/wizard/CFileTreeCtrl.h"
#include "ui/wizard/CSpecificExtList.h"
#include "ui/wizard/WizardAnswers.h"

namespace {

constexpr char kSection[] = "WIZARD_BACKUP_SOURCE";

QString Text(const char* key) { return WizText(kSection, key); }

QLabel* Hint(const char* key, QWidget* parent) {
  auto* label = new QLabel(Text(key), parent);
  label->setObjectName("wizardHint");
  label->setWordWrap(true);
  return label;
}

std::string JoinFolders(const std::vector<std::string>& folders) { return JoinMasks(folders); }

}  // namespace

CWPSelectSource::CWPSelectSource(WizardContext* context, QWidget* parent)
    : CWizardPage(context, parent) {
  setObjectName("wizardSourcePage");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  views_ = new QStackedWidget(this);
  layout->addWidget(views_);

  // Kinds of files.
  auto* categories = new QWidget(views_);
  auto* cl = new QVBoxLayout(categories);
  cl->setContentsMargins(0, 0, 0, 0);
  cl->addWidget(Hint("CATEGORY_LIST_HINT", categories));
  categoryList_ = new CSpecificExtList(categories);
  categoryList_->setObjectName("categoryExtensionList");
  cl->addWidget(categoryList_, 1);
  cl->addWidget(Hint("COMMON_FOLDERS", categories));
  auto* commonRow = new QHBoxLayout;
  const char* commonKeys[3] = {"COMMON_DOCUMENTS", "COMMON_PICTURES", "COMMON_MUSIC"};
  const char* commonNames[3] = {"commonDocuments", "commonPictures", "commonMusic"};
  for (int i = 0; i < 3; ++i) {
    common_[i] = new QCheckBox(Text(commonKeys[i]), categories);
    common_[i]->setObjectName(commonNames[i]);
    commonRow->addWidget(common_[i]);
  }
  commonRow->addStretch(1);
  cl->addLayout(commonRow);
  views_->addWidget(categories);

  // Mail and browser data.
  auto* web = new QWidget(views_);
  auto* wl = new QVBoxLayout(web);
  wl->setContentsMargins(0, 0, 0, 0);
  wl->setSpacing(8);
  wl->addWidget(Hint("WEB_HINT", web));
  const char* webKeys[3] = {"WEB_MAIL", "WEB_FAVORITES", "WEB_FIREFOX"};
  const char* webHints[3] = {"WEB_MAIL_HINT", "WEB_FAVORITES_HINT", "WEB_FIREFOX_HINT"};
  const char* webNames[3] = {"webMailData", "webFavorites", "webFirefox"};
  for (int i = 0; i < 3; ++i) {
    auto* card = new QFrame(web);
    card->setObjectName("wizardChoiceCard");
    auto* c = new QVBoxLayout(card);
    c->setContentsMargins(14, 10, 14, 10);
    web_[i] = new QCheckBox(Text(webKeys[i]), card);
    web_[i]->setObjectName(webNames[i]);
    c->addWidget(web_[i]);
    QLabel* hint = Hint(webHints[i], card);
    hint->setIndent(26);
    c->addWidget(hint);
    wl->addWidget(card);
  }
  wl->addStretch(1);
  views_->addWidget(web);

  // Folders or extensions.
  tabs_ = new QTabWidget(views_);
  tabs_->setObjectName("sourceTabs");
  auto* folders = new QWidget(tabs_);
  auto* fl = new QVBoxLayout(folders);
  fl->setContentsMargins(8, 8, 8, 8);
  fl->addWidget(Hint("FOLDERS_HINT", folders));
  tree_ = new CFileTreeCtrl(ctx_->worker, folders);
  fl->addWidget(tree_, 1);
  tabs_->addTab(folders, Text("TAB_FOLDERS"));
  auto* extensions = new QWidget(tabs_);
  auto* el = new QVBoxLayout(extensions);
  el->setContentsMargins(8, 8, 8, 8);
  el->addWidget(Hint("EXTENSIONS_HINT", extensions));
  extList_ = new CSpecificExtList(extensions);
  el->addWidget(extList_, 1);
  auto* editRow = new QHBoxLayout;
  editRow->addStretch(1);
  auto* edit = new QPushButton(Text("EXT_EDIT"), extensions);
  edit->setObjectName("ownExtensionsButton");
  edit->setProperty("option", true);
  editRow->addWidget(edit);
  el->addLayout(editRow);
  tabs_->addTab(extensions, Text("TAB_EXTENSIONS"));
  views_->addWidget(tabs_);
  connect(edit, &QPushButton::clicked, this, &CWPSelectSource::EditOwnExtensions);
}

QString CWPSelectSource::Title() const { return Text("TITLE"); }

int CWPSelectSource::Type() const {
  const int type = plat::GetProfileInt(ctx_->ini, wiz::kDestSection, "BackupType", 0);
  return type >= 0 && type <= 2 ? type : 0;
}

void CWPSelectSource::Enter() {
  const std::string& ini = ctx_->ini;
  const int type = Type();
  views_->setCurrentIndex(type);
  if (type == wiz::kTypeCategories) {
    std::vector<std::string> names;
    for (const char* c : wiz::kCategories)
      if (plat::GetProfileInt(ini, wiz::kFileTypes, c, 0) > 0) names.push_back(c);
    // Keep the list's own order (that of "Ext.txt").
    categoryList_->Fill(ctx_->extensions, names.empty() ? std::vector<std::string>{""} : names,
                        false);
    categoryList_->Load(ini, true);
    for (int i = 0; i < 3; ++i)
      common_[i]->setChecked(plat::GetProfileInt(ini, wiz::kCommonData, wiz::kCommonKeys[i], 0));
  } else if (type == wiz::kTypeWeb) {
    for (int i = 0; i < 3; ++i)
      web_[i]->setChecked(plat::GetProfileInt(ini, wiz::kAppData, wiz::kWebKeys[i], 0) != 0);
  } else {
    tabs_->setCurrentIndex(plat::GetProfileInt(ini, wiz::kSourceSection, "ActiveTab", 0) == 1 ? 1
                                                                                              : 0);
    if (!treeFilled_) {
      treeFilled_ = true;
      tree_->Populate();
      tree_->SetChecked(SplitFolderList(
          plat::GetProfileString(ini, wiz::kFolders, wiz::kFolderListKey, "", 65535)));
    }
    extList_->Fill(ctx_->extensions, {}, true);
    extList_->Load(ini, false);
  }
}

bool CWPSelectSource::Check() {
  bool any = false;
  switch (Type()) {
    case wiz::kTypeCategories:
      any = categoryList_->AnyChosen();
      for (QCheckBox* box : common_) any = any || box->isChecked();
      break;
    case wiz::kTypeWeb:
      for (QCheckBox* box : web_) any = any || box->isChecked();
      break;
    default:
      any = tabs_->currentIndex() == 0 ? !tree_->Checked().empty() : extList_->AnyChosen();
      break;
  }
  if (!any) {
    WizMessage(kSection, "HAVE_NOT_SELECTED_ANY_ITEM");
    return false;
  }
  // A folder the user ticked is backed up, or refused here with the reason.
  if (Type() == wiz::kTypeFolders && tabs_->currentIndex() == 0) {
    const std::vector<std::string> left = FoldersLeftOut(tree_->Checked());
    if (!left.empty()) {
      std::string native;
      if (!plat::ToNativePath(left.front(), &native)) native = left.front();
      ShowAppMessage(FormatText(GetText(kSection, "FOLDER_IS_EXCLUDED"), {native}),
                     QMessageBox::Warning);
      return false;
    }
  }
  return true;
}

void CWPSelectSource::Store() {
  const std::string& ini = ctx_->ini;
  switch (Type()) {
    case wiz::kTypeCategories:
      categoryList_->Store(ini, false);
      for (int i = 0; i < 3; ++i)
        plat::WriteProfileInt(ini, wiz::kCommonData, wiz::kCommonKeys[i],
                              common_[i]->isChecked() ? 1 : 0);
      break;
    case wiz::kTypeWeb:
      for (int i = 0; i < 3; ++i)
        plat::WriteProfileInt(ini, wiz::kAppData, wiz::kWebKeys[i], web_[i]->isChecked() ? 1 : 0);
      break;
    default:
      plat::WriteProfileInt(ini, wiz::kSourceSection, "ActiveTab", tabs_->currentIndex());
      plat::WriteProfileString(ini, wiz::kFolders, wiz::kFolderListKey,
                               JoinFolders(tree_->Checked()).c_str());
      plat::WriteProfileString(ini, wiz::kParentFolders, wiz::kFolderListKey,
                               JoinFolders(tree_->ParentFolders()).c_str());
      extList_->Store(ini, true);
      break;
  }
}

void CWPSelectSource::EditOwnExtensions() {
  CExtFileDlg dialog(this);
  dialog.SetMasks(extList_->CustomMasks());
  if (dialog.exec() == QDialog::Accepted) extList_->SetCustomMasks(dialog.Masks());
}
