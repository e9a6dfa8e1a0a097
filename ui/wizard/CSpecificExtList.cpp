#include "ui/wizard/CSpecificExtList.h"

#include <QHeaderView>
#include <algorithm>

#include "platform/profile/Profile.h"
#include "ui/wizard/CWizardPage.h"
#include "ui/wizard/WizardAnswers.h"

QString CategoryDisplayName(const std::string& name) {
  const char* keys[4] = {"CATEGORY_DOCUMENTS", "CATEGORY_PICTURES", "CATEGORY_MUSIC",
                         "CATEGORY_VIDEOS"};
  for (int c = 0; c < 4; ++c)
    if (name == wiz::kCategories[c]) return WizText("WIZARD_BACKUP_TYPE", keys[c]);
  return QString::fromStdString(name);
}

CSpecificExtList::CSpecificExtList(QWidget* parent) : QTreeWidget(parent) {
  setObjectName("extensionList");
  setHeaderHidden(true);
  setColumnCount(1);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::NoSelection);
}

void CSpecificExtList::Fill(const std::vector<ExtensionCategory>& list,
                            const std::vector<std::string>& names, bool withCustom) {
  clear();
  shown_.clear();
  customItem_ = nullptr;
  for (const ExtensionCategory& c : list) {
    if (!names.empty() && std::find(names.begin(), names.end(), c.name) == names.end()) continue;
    shown_.push_back(c);
    auto* top = new QTreeWidgetItem(this, {CategoryDisplayName(c.name)});
    top->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
    top->setData(0, Qt::UserRole, QString::fromStdString(c.name));
    top->setCheckState(0, Qt::Unchecked);
    for (const ExtensionEntry& e : c.entries) {
      auto* child =
          new QTreeWidgetItem(top, {QString::fromStdString(e.description + "  (" + e.mask + ")")});
      child->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
      child->setCheckState(0, Qt::Unchecked);
    }
  }
  if (withCustom) {
    customItem_ = new QTreeWidgetItem(this, {WizText("WIZARD_BACKUP_SOURCE", "EXT_CUSTOM")});
    customItem_->setFlags(Qt::ItemIsEnabled);
    FillCustom();
  }
  if (topLevelItemCount() == 1) expandAll();
}

void CSpecificExtList::FillCustom() {
  if (!customItem_) return;
  qDeleteAll(customItem_->takeChildren());
  for (const std::string& m : custom_)
    new QTreeWidgetItem(customItem_, {QString::fromStdString(m)});
  customItem_->setExpanded(!custom_.empty());
}

void CSpecificExtList::SetCustomMasks(const std::vector<std::string>& masks) {
  custom_ = masks;
  FillCustom();
}

QTreeWidgetItem* CSpecificExtList::CategoryItem(const std::string& name) const {
  for (int i = 0; i < topLevelItemCount(); ++i)
    if (topLevelItem(i)->data(0, Qt::UserRole).toString().toStdString() == name)
      return topLevelItem(i);
  return nullptr;
}

void CSpecificExtList::Load(const std::string& ini, bool defaultAll) {
  for (const ExtensionCategory& c : shown_) {
    QTreeWidgetItem* top = CategoryItem(c.name);
    if (!top) continue;
    const bool answered = plat::GetProfileInt(ini, c.name, "Item1", -1) != -1;
    for (int i = 0; i < top->childCount(); ++i) {
      const std::string key = "Item" + std::to_string(i + 1);
      const bool on = answered ? plat::GetProfileInt(ini, c.name, key, 0) == 1 : defaultAll;
      top->child(i)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    }
  }
  if (customItem_)
    SetCustomMasks(
        SplitMasks(plat::GetProfileString(ini, wiz::kFileTypes, wiz::kCustomTypes, "", 4095)));
}

void CSpecificExtList::Store(const std::string& ini, bool writeFileTypes) const {
  for (const ExtensionCategory& c : shown_) {
    QTreeWidgetItem* top = CategoryItem(c.name);
    if (!top) continue;
    bool any = false;
    for (int i = 0; i < top->childCount(); ++i) {
      const bool on = top->child(i)->checkState(0) == Qt::Checked;
      any = any || on;
      plat::WriteProfileInt(ini, c.name, "Item" + std::to_string(i + 1), on ? 1 : 0);
    }
    if (writeFileTypes) plat::WriteProfileInt(ini, wiz::kFileTypes, c.name, any ? 1 : 0);
  }
  if (customItem_)
    plat::WriteProfileString(ini, wiz::kFileTypes, wiz::kCustomTypes, JoinMasks(custom_).c_str());
}

bool CSpecificExtList::AnyChosen() const {
  if (customItem_ && !custom_.empty()) return true;
  for (int t = 0; t < topLevelItemCount(); ++t) {
    QTreeWidgetItem* top = topLevelItem(t);
    if (top == customItem_) continue;
    for (int i = 0; i < top->childCount(); ++i)
      if (top->child(i)->checkState(0) == Qt::Checked) return true;
  }
  return false;
}
