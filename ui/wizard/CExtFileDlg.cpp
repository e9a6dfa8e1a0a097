#include "ui/wizard/CExtFileDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/base/Text.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/wizard/CWizardPage.h"
#include "ui/wizard/WizardAnswers.h"

namespace {
constexpr char kSection[] = "WIZARD_EXT_DIALOG";
QString Text(const char* key) { return WizText(kSection, key); }
}  // namespace

CExtFileDlg::CExtFileDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("extFileDialog");
  setWindowTitle(Text("TITLE"));
  setStyleSheet(AppStyleSheet());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 16, 18, 14);
  layout->setSpacing(10);
  auto* hint = new QLabel(Text("HINT"), this);
  hint->setObjectName("wizardHint");
  hint->setWordWrap(true);
  layout->addWidget(hint);

  auto* row = new QHBoxLayout;
  edit_ = new QLineEdit(this);
  edit_->setObjectName("extEdit");
  edit_->setMaxLength(64);
  edit_->setPlaceholderText(Text("PLACEHOLDER"));
  auto* add = new QPushButton(Text("ADD"), this);
  add->setObjectName("extAddButton");
  add->setProperty("option", true);
  row->addWidget(edit_, 1);
  row->addWidget(add);
  layout->addLayout(row);

  list_ = new QListWidget(this);
  list_->setObjectName("extList");
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  layout->addWidget(list_, 1);

  auto* bottom = new QHBoxLayout;
  remove_ = new QPushButton(Text("REMOVE"), this);
  remove_->setObjectName("extRemoveButton");
  remove_->setProperty("option", true);
  remove_->setEnabled(false);
  bottom->addWidget(remove_);
  bottom->addStretch(1);
  auto* ok = new QPushButton(Text("OK"), this);
  ok->setObjectName("okButton");
  ok->setProperty("wizardRole", "primary");
  auto* cancel = new QPushButton(Text("CANCEL"), this);
  cancel->setObjectName("cancelButton");
  cancel->setProperty("wizardRole", "secondary");
  bottom->addWidget(ok);
  bottom->addWidget(cancel);
  layout->addLayout(bottom);

  connect(add, &QPushButton::clicked, this, [this] { AddTyped(); });
  connect(edit_, &QLineEdit::returnPressed, this, [this] { AddTyped(); });
  connect(remove_, &QPushButton::clicked, this, &CExtFileDlg::RemoveSelected);
  connect(list_, &QListWidget::itemSelectionChanged, this,
          [this] { remove_->setEnabled(!list_->selectedItems().isEmpty()); });
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  ok->setAutoDefault(false);
  add->setAutoDefault(false);
  resize(420, 380);
}

void CExtFileDlg::SetMasks(const std::vector<std::string>& masks) {
  list_->clear();
  for (const std::string& m : masks) list_->addItem(QString::fromStdString(m));
}

std::vector<std::string> CExtFileDlg::Masks() const {
  std::vector<std::string> out;
  for (int i = 0; i < list_->count(); ++i) out.push_back(list_->item(i)->text().toStdString());
  return out;
}

bool CExtFileDlg::AddTyped() {
  const std::string mask = NormaliseExtensionMask(edit_->text().toStdString());
  if (mask.empty()) {
    WizMessage(kSection, "INVALID_EXTENSION");
    return false;
  }
  const std::string upper = plat::ToUpper(mask);
  for (int i = 0; i < list_->count(); ++i)
    if (plat::ToUpper(list_->item(i)->text().toStdString()) == upper) {
      edit_->clear();
      return true;  // already listed
    }
  list_->addItem(QString::fromStdString(mask));
  edit_->clear();
  return true;
}

void CExtFileDlg::RemoveSelected() { qDeleteAll(list_->selectedItems()); }
