#include "ui/wizard/CWPBackupType.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

#include "platform/profile/Profile.h"
#include "ui/wizard/WizardAnswers.h"

namespace {

constexpr char kSection[] = "WIZARD_BACKUP_TYPE";

QString Text(const char* key) { return WizText(kSection, key); }

QCheckBox* MakeBox(const char* key, const char* name, QWidget* parent) {
  auto* box = new QCheckBox(Text(key), parent);
  box->setObjectName(name);
  return box;
}

}  // namespace

CWPBackupType::CWPBackupType(WizardContext* context, QWidget* parent)
    : CWizardPage(context, parent) {
  setObjectName("wizardTypePage");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(10);
  auto* group = new QButtonGroup(this);
  const char* typeKeys[3] = {"TYPE_CATEGORIES", "TYPE_WEB", "TYPE_FOLDERS"};
  const char* hintKeys[3] = {"TYPE_CATEGORIES_HINT", "TYPE_WEB_HINT", "TYPE_FOLDERS_HINT"};
  const char* typeNames[3] = {"typeCategories", "typeWeb", "typeFolders"};
  const char* categoryKeys[4] = {"CATEGORY_DOCUMENTS", "CATEGORY_PICTURES", "CATEGORY_MUSIC",
                                 "CATEGORY_VIDEOS"};
  const char* categoryNames[4] = {"categoryDocuments", "categoryPictures", "categoryMusic",
                                  "categoryVideos"};
  for (int t = 0; t < 3; ++t) {
    auto* card = new QFrame(this);
    card->setObjectName("wizardChoiceCard");
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(14, 10, 14, 12);
    cardLayout->setSpacing(4);
    types_[t] = new QRadioButton(Text(typeKeys[t]), card);
    types_[t]->setObjectName(typeNames[t]);
    group->addButton(types_[t], t);
    cardLayout->addWidget(types_[t]);
    auto* hint = new QLabel(Text(hintKeys[t]), card);
    hint->setObjectName("wizardHint");
    hint->setWordWrap(true);
    hint->setIndent(26);
    cardLayout->addWidget(hint);
    if (t == 0) {
      auto* grid = new QGridLayout;
      grid->setContentsMargins(26, 4, 0, 0);
      grid->setHorizontalSpacing(24);
      for (int c = 0; c < 4; ++c) {
        categories_[c] = MakeBox(categoryKeys[c], categoryNames[c], card);
        grid->addWidget(categories_[c], c / 2, c % 2);
      }
      cardLayout->addLayout(grid);
    } else if (t == 1) {
      auto* row = new QGridLayout;
      row->setContentsMargins(26, 4, 0, 0);
      row->setHorizontalSpacing(24);
      mail_ = MakeBox("WEB_MAIL", "webMail", card);
      browser_ = MakeBox("WEB_BROWSER", "webBrowser", card);
      row->addWidget(mail_, 0, 0);
      row->addWidget(browser_, 0, 1);
      cardLayout->addLayout(row);
    }
    layout->addWidget(card);
  }
  layout->addStretch(1);
  connect(group, &QButtonGroup::idToggled, this, [this](int, bool) { UpdateEnabled(); });
}

QString CWPBackupType::Title() const { return Text("TITLE"); }

int CWPBackupType::BackupType() const {
  for (int t = 0; t < 3; ++t)
    if (types_[t]->isChecked()) return t;
  return wiz::kTypeCategories;
}

void CWPBackupType::UpdateEnabled() {
  const int type = BackupType();
  for (QCheckBox* box : categories_) box->setEnabled(type == wiz::kTypeCategories);
  mail_->setEnabled(type == wiz::kTypeWeb);
  browser_->setEnabled(type == wiz::kTypeWeb);
}

void CWPBackupType::Enter() {
  const std::string& ini = ctx_->ini;
  int type = plat::GetProfileInt(ini, wiz::kDestSection, "BackupType", 0);
  if (type < 0 || type > 2) type = 0;
  types_[type]->setChecked(true);
  for (int c = 0; c < 4; ++c)
    categories_[c]->setChecked(plat::GetProfileInt(ini, wiz::kFileTypes, wiz::kCategories[c], 0) >
                               0);
  auto web = [&](int k) { return plat::GetProfileInt(ini, wiz::kAppData, wiz::kWebKeys[k], 0); };
  mail_->setChecked(web(0) != 0);
  browser_->setChecked(web(1) != 0 || web(2) != 0);
  UpdateEnabled();
}

bool CWPBackupType::Check() {
  const int type = BackupType();
  bool any = true;
  if (type == wiz::kTypeCategories) {
    any = false;
    for (QCheckBox* box : categories_) any = any || box->isChecked();
  } else if (type == wiz::kTypeWeb) {
    any = mail_->isChecked() || browser_->isChecked();
  }
  if (!any) WizMessage(kSection, "HAVE_NOT_SELECTED_ANY_ITEM");
  return any;
}

void CWPBackupType::Store() {
  const std::string& ini = ctx_->ini;
  const int type = BackupType();
  plat::WriteProfileInt(ini, wiz::kDestSection, "BackupType", type);
  if (type == wiz::kTypeCategories) {
    for (int c = 0; c < 4; ++c) {
      const bool was = plat::GetProfileInt(ini, wiz::kFileTypes, wiz::kCategories[c], 0) > 0;
      const bool now = categories_[c]->isChecked();
      // A category ticked anew starts with all its entries on the source page.
      if (now && !was) plat::WriteProfileString(ini, wiz::kCategories[c], nullptr, nullptr);
      plat::WriteProfileInt(ini, wiz::kFileTypes, wiz::kCategories[c], now ? 1 : 0);
    }
  } else if (type == wiz::kTypeWeb) {
    plat::WriteProfileInt(ini, wiz::kAppData, wiz::kWebKeys[0], mail_->isChecked() ? 1 : 0);
    // The browser box stands for both browser answers; the source page may
    // narrow them down, so a ticked box keeps a narrower choice.
    const bool some = plat::GetProfileInt(ini, wiz::kAppData, wiz::kWebKeys[1], 0) != 0 ||
                      plat::GetProfileInt(ini, wiz::kAppData, wiz::kWebKeys[2], 0) != 0;
    if (!browser_->isChecked() || !some) {
      const int v = browser_->isChecked() ? 1 : 0;
      plat::WriteProfileInt(ini, wiz::kAppData, wiz::kWebKeys[1], v);
      plat::WriteProfileInt(ini, wiz::kAppData, wiz::kWebKeys[2], v);
    }
  }
}
