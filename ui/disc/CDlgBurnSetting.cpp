#include "ui/disc/CDlgBurnSetting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>
#include <thread>

#include "common/Texts.h"
#include "destinations/Destination.h"
#include "destinations/disc/CDiscBurn.h"
#include "destinations/disc/DiscEngine.h"
#include "destinations/disc/PendingFiles.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/volumes/Paths.h"
#include "ui/disc/CDlgBurnDisc.h"
#include "ui/disc/CDlgEraseBurning.h"
#include "ui/disc/CDlgEraseDisc.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/widgets/TextFormat.h"

namespace {

std::string T(const char* key) { return GetText("DIALOG_BURN_SETTING", key); }
QString Q(const std::string& s) { return QString::fromStdString(s); }
constexpr int kMaxRecorders = 20;

}  // namespace

void ShowBurnSettings(QWidget* parent, uint32_t planId) {
  std::string root;
  int32_t storage = 0;
  if (CPlan* plan = PlanList::Instance().Find(planId)) {
    std::lock_guard<std::recursive_mutex> hold(plan->Lock());
    storage = plan->StorageType();
    if (CDestination* dest = plan->Destination()) root = dest->GetRootPath();
  }
  if (IsServerStorage(storage)) {
    ShowAppMessage(GetText("MAIN_UI", storage == kStorageFtp ? "CAN_NOT_ARCHIVE_FTP"
                                                             : "CAN_NOT_ARCHIVE_OBJECT_STORE"),
                   QMessageBox::Information);
    return;
  }
  if (root.empty()) return;
  CDlgBurnSetting dialog(plat::WithSeparator(root) + "Latest", parent);
  dialog.exec();
}

std::string CDlgBurnSetting::DefaultDiscName(const std::string& prefix, int day, int month,
                                             int year) {
  const std::string suffix =
      std::to_string(day) + "." + std::to_string(month) + "." + std::to_string(year % 100);
  std::u32string wide = QString::fromStdString(prefix).trimmed().toStdU32String();
  const size_t room = kMaxNameLength - suffix.size() - 1;
  if (wide.size() > room) wide.resize(room);
  std::string head = QString::fromStdU32String(wide).trimmed().toStdString();
  return head.empty() ? suffix : head + " " + suffix;
}

int CDlgBurnSetting::SpeedOfLabel(const std::string& label) {
  size_t open = label.find('(');
  if (open == std::string::npos) return 0;
  int value = 0;
  for (size_t i = open + 1; i < label.size(); ++i) {
    if (label[i] >= '0' && label[i] <= '9') {
      value = value * 10 + (label[i] - '0');
    } else if (label[i] != ',') {
      break;
    }
  }
  return value;
}

std::vector<std::string> CDlgBurnSetting::SpeedLabels(int mediaType) {
  switch (disc::MediaFamily(mediaType)) {
    case 1:
      return {"48x (8,448", "44x (7,744", "40x (7,040", "36x (6,336", "32x (5,632",  "24x (4,224",
              "20x (3,250", "16x (2,800", "12x (2,112", "10x (1,760", "8x   (1,400", "6x   (1,056",
              "4x   (706",  "3x   (528",  "2x   (353",  "1x   (176"};
    case 2:
      return {"20x (27,700",  "18x (24,930", "16x (22,160", "12x (16,620",
              "8x   (11,080", "6x   (8,310", "5x   (6,925", "4x   (5,540",
              "3x   (4,155",  "2x   (2,770", "1x   (1,385"};
    case 3:
      return {"2x (8,991", "1x (4,495"};
    default:
      return {};
  }
}

CDlgBurnSetting::CDlgBurnSetting(std::string latestFolder, QWidget* parent)
    : QDialog(parent), latest_(std::move(latestFolder)) {
  setObjectName("burnSetting");
  setWindowTitle(Q(T("TITLE")));
  setStyleSheet(AppStyleSheet());
  setModal(true);
  setMinimumWidth(480);
  std::string error;
  engineUp_ = disc::Initialise(&error) == disc::kDiscOk;

  disc::PendingList::Instance().Clear();

  auto* layout = new QVBoxLayout(this);
  auto* hint = new QLabel(Q(T("HINT")), this);
  hint->setWordWrap(true);
  layout->addWidget(hint);
  auto* form = new QFormLayout;
  recorders_ = new QComboBox(this);
  recorders_->setObjectName("recorderBox");
  auto* refresh = new QPushButton(Q(T("BUTTON_REFRESH")), this);
  auto* recorderRow = new QHBoxLayout;
  recorderRow->addWidget(recorders_, 1);
  recorderRow->addWidget(refresh);
  form->addRow(Q(T("LBL_RECORDER")), recorderRow);
  kind_ = new QLabel(this);
  kind_->setObjectName("discKind");
  form->addRow(Q(T("LBL_DISC_TYPE")), kind_);
  name_ = new QLineEdit(this);
  name_->setObjectName("discName");
  const QDate today = QDate::currentDate();
  name_->setText(
      Q(DefaultDiscName(T("BACKUP_NAME_PREFIX"), today.day(), today.month(), today.year())));
  form->addRow(Q(T("LBL_DISC_NAME")), name_);
  layout->addLayout(form);
  auto label = [&](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(name);
    layout->addWidget(l);
    return l;
  };
  size_ = label("archiveSize");
  size_->setText(Q(T("COUNTING")));
  free_ = label("freeSpace");
  used_ = label("usedSpace");
  needed_ = label("discsNeeded");

  more_ = new QPushButton(Q(T("MORE_OPTIONS")), this);
  more_->setObjectName("moreButton");
  layout->addWidget(more_, 0, Qt::AlignLeft);
  options_ = new QWidget(this);
  auto* options = new QFormLayout(options_);
  options->setContentsMargins(0, 0, 0, 0);
  readSpeed_ = new QLabel(this);
  options->addRow(Q(T("LBL_READ_SPEED")), readSpeed_);
  writeSpeed_ = new QComboBox(this);
  writeSpeed_->setObjectName("writeSpeed");
  options->addRow(Q(T("LBL_WRITE_SPEED")), writeSpeed_);
  verify_ = new QCheckBox(Q(T("OPTION_NAME_CHECK_VERIFY")), this);
  verify_->setObjectName("verifyBox");
  verify_->setChecked(true);
  options->addRow(verify_);
  eject_ = new QCheckBox(Q(T("OPTION_NAME_CHECK_EJECT")), this);
  eject_->setObjectName("ejectBox");
  options->addRow(eject_);
  erase_ = new QPushButton(Q(T("BUTTON_ERASE")), this);
  erase_->setObjectName("eraseButton");
  options->addRow(erase_);
  options_->hide();
  layout->addWidget(options_);

  archive_ = new QPushButton(Q(T("BUTTON_BURN")), this);
  archive_->setObjectName("archiveButton");
  archive_->setDefault(true);
  auto* cancel = new QPushButton(Q(T("BUTTON_CANCEL")), this);
  cancel->setObjectName("cancelButton");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(archive_);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);

  connect(more_, &QPushButton::clicked, this, [this] {
    options_->setVisible(!options_->isVisible());
    more_->setText(Q(T(options_->isVisible() ? "LESS_OPTIONS" : "MORE_OPTIONS")));
    more_->setMinimumWidth(more_->sizeHint().width());
  });
  connect(refresh, &QPushButton::clicked, this, [this] {
    disc::RescanRecorders();
    FindRecorders();
  });
  connect(recorders_, &QComboBox::currentIndexChanged, this, [this] { ShowMedia(); });
  connect(archive_, &QPushButton::clicked, this, &CDlgBurnSetting::OnArchive);
  connect(erase_, &QPushButton::clicked, this, &CDlgBurnSetting::OnErase);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  FindRecorders();
  CountFiles();
}

// The store is walked on a thread of its own (a network share takes long):
// the window stays live and Archive waits for the count.
void CDlgBurnSetting::CountFiles() {
  QPointer<CDlgBurnSetting> self(this);
  std::thread([self, latest = latest_] {
    auto list = std::make_shared<disc::PendingList>();
    disc::FillPendingList(latest, list.get());
    QMetaObject::invokeMethod(qApp, [self, list] {
      if (self) self->Counted(*list);
    });
  }).detach();
}

void CDlgBurnSetting::Counted(disc::PendingList& list) {
  total_ = list.TotalBytes();
  files_ = list.Size();
  disc::PendingList::Instance().TakeFrom(list);
  counted_ = true;
  size_->setText(Q(FormatText(T("LBL_ARCHIVE_SIZE"),
                              {FormatSize(total_, "", false), CountText("FILES", files_)})));
  ShowMedia();
}

CDlgBurnSetting::~CDlgBurnSetting() {
  if (engineUp_) disc::Shutdown();
}

std::string CDlgBurnSetting::Recorder() const {
  return recorders_->currentData().toString().toStdString();
}

void CDlgBurnSetting::FindRecorders() {
  QSignalBlocker block(recorders_);
  recorders_->clear();
  for (int n = 0; n < kMaxRecorders && engineUp_; ++n) {
    const std::string name = "CdRom" + std::to_string(n);
    std::string error;
    disc::Device* device = disc::OpenDevice(name, &error);
    if (device == nullptr) {
      // An image file that cannot be made where it should lie is named, not hidden.
      const std::string file = disc::PseudoDriveFile(name);
      if (!file.empty())
        recorders_->addItem(Q(FormatText(T("RECORDER_IMAGE_FILE_UNUSABLE"), {file})), Q(name));
      continue;
    }
    disc::Capabilities caps;
    const bool writes = disc::GetCapabilities(device, &caps, &error) == disc::kDiscOk &&
                        (caps.writesCd || caps.writesDvd);
    std::string model, where;
    disc::DescribeDevice(device, &model, &where);
    const bool imageFile = disc::IsPseudo(device);
    disc::ReleaseDevice(device);
    if (!writes) continue;
    // The drive by its model and device, an image file by its path.
    std::string shown = imageFile       ? FormatText(T("RECORDER_IMAGE_FILE"), {where})
                        : model.empty() ? where
                        : where.empty() ? model
                                        : FormatText(T("RECORDER_DRIVE"), {model, where});
    recorders_->addItem(Q(shown.empty() ? name : shown), Q(name));
  }
  if (recorders_->count() == 0) recorders_->addItem(Q(T("NO_RECORDER")), QString());
  ShowMedia();
}

void CDlgBurnSetting::ShowMedia() {
  capacity_ = 0;
  mediaType_ = disc::kMediaNone;
  hasData_ = false;
  writable_ = false;
  imageFileLocked_ = false;
  uint64_t freeBytes = 0, usedBytes = 0;
  std::string error;
  if (disc::Device* device = Recorder().empty() ? nullptr : disc::OpenDevice(Recorder(), &error)) {
    mediaType_ = disc::MediaType(device);
    int status = disc::kStatusNone;
    uint64_t freeBlocks = 0;
    if (mediaType_ != disc::kMediaNone &&
        disc::DiscInfo(device, &status, &freeBlocks, &error) == disc::kDiscOk) {
      usedBytes = disc::DataBytes(device);
      hasData_ = status != disc::kStatusBlank && usedBytes > 0;
      freeBytes = freeBlocks * 2048;
      const bool rewritable = disc::IsRewritable(mediaType_);
      capacity_ =
          status == disc::kStatusComplete ? disc::CompleteDiscCapacity(mediaType_) : freeBytes;
      // A rewritable disc is erased before it is written: all of it counts.
      if (rewritable && hasData_) capacity_ = std::max(capacity_, freeBytes + usedBytes);
      writable_ = (status != disc::kStatusComplete || rewritable) && capacity_ > 0 &&
                  mediaType_ != 1 && mediaType_ != 4 && mediaType_ != 17 && mediaType_ != 20;
      imageFileLocked_ = !disc::ImageFileWritable(device);
      if (imageFileLocked_) writable_ = false;
    } else {
      mediaType_ = disc::kMediaNone;
    }
    disc::ReleaseDevice(device);
  }
  writeSpeed_->clear();
  if (mediaType_ == disc::kMediaNone) {
    kind_->setText(Q(T("DISC_TYPE_NO_MEDIA")));
    readSpeed_->clear();
    free_->clear();
    used_->clear();
    needed_->setText(Q(FormatText(T("LBL_DISCS_NEEDED"), {T("DISC_NEEDED_NOT_SURE")})));
  } else {
    kind_->setText(Q(writable_ ? disc::MediaTypeName(mediaType_)
                               : disc::MediaTypeName(mediaType_) + " - " +
                                     T(imageFileLocked_ ? "IMAGE_FILE_NOT_WRITABLE"
                                                        : "DISC_CANNOT_BE_RECORDED")));
    free_->setText(Q(FormatText(T("FREE_SPACE"), {FormatSize(freeBytes, "", false)})));
    used_->setText(Q(FormatText(T("USED_SPACE"), {FormatSize(usedBytes, "", false)})));
    needed_->setText(Q(FormatText(
        T("LBL_DISCS_NEEDED"),
        {LocaleNumber(disc::DiscsNeededFor(disc::PendingList::Instance(), capacity_))})));
    readSpeed_->setText(Q(T("READ_SPEED_FASTEST")));
    writeSpeed_->addItem(Q(T("SPEED_FASTEST")), 0);
    for (const std::string& l : SpeedLabels(mediaType_))
      writeSpeed_->addItem(Q(l + T("DISC_SPEED_UNIT")), SpeedOfLabel(l));
  }
  archive_->setEnabled(writable_ && counted_);
  erase_->setEnabled(hasData_ && disc::IsRewritable(mediaType_));
}

bool CDlgBurnSetting::EraseIfNeeded(bool thenArchive) {
  if (!hasData_ || !disc::IsRewritable(mediaType_)) return true;
  if (CDlgEraseBurning(this, thenArchive).Ask() != CDlgSureMessage::kOk) return false;
  CDlgEraseDisc erase(Recorder(), thenArchive, this);
  return erase.exec() == CDlgEraseDisc::kErased;
}

void CDlgBurnSetting::OnErase() {
  EraseIfNeeded(false);
  ShowMedia();
}

void CDlgBurnSetting::OnArchive() {
  const std::string name = name_->text().trimmed().toStdString();
  if (name.empty()) {
    ShowAppMessage(T("DISC_NAME_EMPTY"), QMessageBox::Warning);
    return;
  }
  if (name_->text().trimmed().toStdU32String().size() > size_t(kMaxNameLength)) {
    ShowAppMessage(T("DISC_NAME_MAX_LENGTH"), QMessageBox::Warning);
    return;
  }
  if (disc::PendingList::Instance().Empty()) {
    ShowAppMessage(T("NOTHING_TO_ARCHIVE"), QMessageBox::Information);
    return;
  }
  ShowMedia();
  if (!writable_) return;
  if (!EraseIfNeeded(true)) {
    ShowMedia();
    return;
  }
  BurnJob job;
  job.recorder = Recorder();
  job.discName = name;
  job.latest = latest_;
  job.totalBytes = total_;
  job.discsNeeded = disc::DiscsNeededFor(disc::PendingList::Instance(), capacity_);
  job.verify = verify_->isChecked();
  job.eject = eject_->isChecked();
  job.writeSpeed = writeSpeed_->currentData().toInt();
  CDlgBurnDisc burn(job, disc::PendingList::Instance(), this);
  burn.exec();
  accept();
}
