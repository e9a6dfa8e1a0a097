// The destination page's disk tabs (external drive, USB key, network drive,
// local drive): the drives of the tab's kind, their free space, the folder
// field and what the folder's checks find.
#include "ui/wizard/CWPSelectDest.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "engine/PlanList.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/DestPageParts.h"
#include "ui/wizard/WizardAnswers.h"
#include "ui/wizard/WizardWorker.h"

using dest_parts::kSection;
using dest_parts::MakeEdit;
using dest_parts::NativeOf;
using dest_parts::NestedPlanText;
using dest_parts::Text;
using dest_parts::Trimmed;

namespace {

// A typed folder is probed once the typing pauses this long.
constexpr int kProbeDelayMs = 300;

}  // namespace

QWidget* CWPSelectDest::MakeDiskPanel() {
  auto* disk = new QWidget(panels_);
  auto* diskLayout = new QVBoxLayout(disk);
  diskLayout->setContentsMargins(0, 0, 0, 0);
  auto* form = new QFormLayout;
  diskLayout->setSpacing(10);
  diskLayout->addLayout(form);
  form->setContentsMargins(0, 8, 0, 0);
  form->setVerticalSpacing(10);
  driveCombo_ = new QComboBox(disk);
  driveCombo_->setObjectName("driveCombo");
  driveCombo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  spaceLabel_ = new QLabel(disk);
  spaceLabel_->setObjectName("spaceLabel");
  auto* driveRow = new QHBoxLayout;
  driveRow->setSpacing(12);
  driveRow->addWidget(driveCombo_, 1);
  driveRow->addWidget(spaceLabel_);
  form->addRow(Text("DRIVE_LABEL"), driveRow);
  folderEdit_ = MakeEdit("destFolderEdit", disk);
  folderEdit_->setMaxLength(1024);
  auto* browse = new QPushButton(Text("BROWSE"), disk);
  browse->setObjectName("browseButton");
  browse->setProperty("option", true);
  auto* folderRow = new QHBoxLayout;
  folderRow->setSpacing(8);
  folderRow->addWidget(folderEdit_, 1);
  folderRow->addWidget(browse);
  form->addRow(Text("FOLDER_LABEL"), folderRow);
  sameDisk_ = new QLabel(Text("SAME_DISK_AS_SOURCES"), disk);
  sameDisk_->setObjectName("sameDiskLabel");
  sameDisk_->setWordWrap(true);
  sameDisk_->setVisible(false);
  diskLayout->addWidget(sameDisk_);
  findings_ = new QLabel(disk);
  findings_->setObjectName("destFindingsLabel");
  findings_->setWordWrap(true);
  findings_->setVisible(false);
  diskLayout->addWidget(findings_);
  probeTimer_ = new QTimer(this);
  probeTimer_->setSingleShot(true);
  probeTimer_->setInterval(kProbeDelayMs);
  connect(probeTimer_, &QTimer::timeout, this, &CWPSelectDest::ProbeFolder);
  diskLayout->addStretch(1);
  connect(driveCombo_, &QComboBox::currentIndexChanged, this, &CWPSelectDest::DriveChosen);
  connect(folderEdit_, &QLineEdit::textEdited, this, [this] { edited_ = true; });
  connect(folderEdit_, &QLineEdit::textChanged, this, &CWPSelectDest::ShowFindings);
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString start = folderEdit_->text().isEmpty() ? QString() : folderEdit_->text();
    const QString chosen = QFileDialog::getExistingDirectory(
        this, Text("BROWSE_TITLE"), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    if (chosen.isEmpty()) return;
    folderEdit_->setText(chosen);
    edited_ = true;
  });
  return disk;
}

bool CWPSelectDest::DriveFitsTab(const Drive& d, int tab) const {
  using plat::DriveType;
  switch (tab) {
    case wiz::kTabExternal:
      return d.usbBus && d.type == static_cast<int>(DriveType::kFixed);
    case wiz::kTabUsbKey:
      return d.usbBus && d.type == static_cast<int>(DriveType::kRemovable);
    case wiz::kTabNetwork:
      return d.type == static_cast<int>(DriveType::kRemote);
    case wiz::kTabLocal:
      return !d.usbBus && d.type == static_cast<int>(DriveType::kFixed);
    default:
      return false;
  }
}

void CWPSelectDest::FillDrives() {
  const int tab = tabs_->currentIndex();
  filling_ = true;
  driveCombo_->clear();
  for (const Drive& d : drives_) {
    if (!DriveFitsTab(d, tab)) continue;
    driveCombo_->addItem(d.native, QChar(d.letter));
    driveCombo_->setItemData(driveCombo_->count() - 1, d.native, Qt::ToolTipRole);
  }
  if (driveCombo_->count() == 0) driveCombo_->addItem(Text("NO_DRIVE"), QChar(0));
  driveCombo_->setEnabled(driveCombo_->itemData(0).toChar() != QChar(0));
  // The drive that holds the folder shown, if it is of this tab's kind.
  std::string sys;
  const std::string typed = Trimmed(folderEdit_);
  int index = 0;
  if (!typed.empty() && plat::ToSystemPath(typed, &sys) && sys.size() > 1 && sys[1] == ':') {
    const int found = driveCombo_->findData(QChar(sys[0]));
    if (found >= 0) index = found;
  }
  driveCombo_->setCurrentIndex(index);
  filling_ = false;
  DriveChosen(index);
}

void CWPSelectDest::SetFolderSystem(const std::string& systemPath) {
  const QString native = NativeOf(systemPath);
  if (!native.isEmpty()) folderEdit_->setText(native);
}

void CWPSelectDest::DriveChosen(int index) {
  if (filling_ || index < 0) return;
  const QChar letter = driveCombo_->itemData(index).toChar();
  spaceLabel_->clear();
  if (letter == QChar(0)) return;
  const char l = static_cast<char>(letter.toLatin1());
  MeasureSpace(l);
  // A drive chosen by hand gets the plan type's folder on it, unless the
  // folder shown already lies there.
  std::string sys;
  const std::string typed = Trimmed(folderEdit_);
  if (!typed.empty() && plat::ToSystemPath(typed, &sys) && !sys.empty() && sys[0] == l) return;
  const std::string name =
      folderName_.empty() ? GetText(kSection, "DEFAULT_FOLDER_NAME") : folderName_;
  ++busy_;
  const QString shown = folderEdit_->text();
  ctx_->worker->Run([l, name, shown, this_ = this]() -> std::function<void()> {
    // On a drive whose root takes no folders of the user's: the home folder.
    const std::string unique =
        PlanList::Instance().MakeUniqueDestinationFolder(BackupFolderBase(l) + name);
    return [unique, shown, page = this_] {
      --page->busy_;
      // Only while the drive is still the chosen one, and never over a
      // folder typed or picked meanwhile.
      const QChar now = page->driveCombo_->currentData().toChar();
      if (now.toLatin1() == unique[0] && page->folderEdit_->text() == shown)
        page->SetFolderSystem(unique);
    };
  });
}

void CWPSelectDest::MeasureSpace(char letter) {
  const int request = ++spaceRequest_;
  ctx_->worker->Run([letter, request, page = this]() -> std::function<void()> {
    uint64_t freeBytes = 0, total = 0;
    const bool ok = plat::GetDiskSpace(std::string(1, letter) + ":\\", &freeBytes, &total);
    return [ok, freeBytes, total, request, page] {
      if (request != page->spaceRequest_ || !ok) return;
      page->spaceLabel_->setText(QString::fromStdString(
          FormatText(GetText(kSection, "FREE_SPACE"),
                     {FormatSize(freeBytes, "", false), FormatSize(total, "", false)})));
    };
  });
}

void CWPSelectDest::ShowFindings() {
  std::string sys;
  const std::string typed = Trimmed(folderEdit_);
  probeTimer_->stop();
  const bool known = !typed.empty() && typed.front() == '/' && plat::ToSystemPath(typed, &sys);
  const DestFindings f =
      known ? ExamineDestination(sys, sources_, sourceLetters_, false, others_) : DestFindings{};
  sameDisk_->setVisible(f.sameDisk);
  ShowFindingsText(f);
  probed_.clear();
  if (known && !f.tooLong) probeTimer_->start();
}

void CWPSelectDest::ShowFindingsText(const DestFindings& f) {
  QStringList lines;
  if (f.tooLong) lines << Text("DESTINATION_PATH_TOO_LONG");
  if (f.notWritable) lines << Text("DESTINATION_FOLDER_NOT_WRITABLE");
  if (f.insideSource) lines << Text("STORE_INSIDE_SOURCE");
  if (f.openToOthers) lines << Text("STORE_OPEN_TO_OTHERS");
  if (!f.movableBy.empty())
    lines << QString::fromStdString(
        FormatText(GetText("WIZARD_BACKUP_DEST", "STORE_MOVABLE_BY_OTHERS"), {f.movableBy}));
  if (f.holdsSources) lines << Text("STORE_HOLDS_SOURCES");
  if (!f.nestedPlan.empty()) lines << NestedPlanText(f);
  findings_->setText(lines.join("\n"));
  findings_->setProperty("problem", f.Refused());
  findings_->setVisible(!lines.isEmpty());
}

void CWPSelectDest::ProbeFolder() {
  std::string sys;
  const std::string typed = Trimmed(folderEdit_);
  if (typed.empty() || !plat::ToSystemPath(typed, &sys)) return;
  ++busy_;
  ctx_->worker->Run([sys, sources = sources_, letters = sourceLetters_, others = others_,
                     page = this]() -> std::function<void()> {
    const DestFindings f = ExamineDestination(sys, sources, letters, true, others);
    return [sys, f, page] {
      --page->busy_;
      std::string now;
      // Only for the folder still shown.
      if (!plat::ToSystemPath(Trimmed(page->folderEdit_), &now) || now != sys) return;
      page->probed_ = sys;
      page->probedWritable_ = !f.notWritable;
      page->ShowFindingsText(f);
    };
  });
}

bool CWPSelectDest::CheckDiskFolder(int tab) {
  std::string sys;
  const DestCheck result = CheckDestinationFolder(tab, folderEdit_->text().toStdString(), &sys);
  if (result != DestCheck::kOk) {
    WizMessage(kSection, DestCheckKey(result));
    return false;
  }
  // A share may keep the page waiting: its probe on the worker decides.
  const bool share = tab == wiz::kTabNetwork;
  DestFindings f = ExamineDestination(sys, sources_, sourceLetters_, !share, others_);
  if (share && probed_ == sys) f.notWritable = !probedWritable_;
  ShowFindingsText(f);
  if (!f.nestedPlan.empty() && !f.tooLong && !f.notWritable && !f.holdsSources) {
    ShowAppMessage(NestedPlanText(f).toStdString(), QMessageBox::Warning);
    return false;
  }
  if (f.Refused()) {
    WizMessage(kSection, f.tooLong       ? "DESTINATION_PATH_TOO_LONG"
                         : f.notWritable ? "DESTINATION_FOLDER_NOT_WRITABLE"
                                         : "STORE_HOLDS_SOURCES");
    return false;
  }
  return true;
}
