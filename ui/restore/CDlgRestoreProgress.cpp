#include "ui/restore/CDlgRestoreProgress.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "common/Texts.h"
#include "ui/restore/RestoreRelay.h"
#include "ui/restore/RestoreTexts.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/StyleSheet.h"

namespace {

constexpr int kTickMs = 10000;     // the bar creeps on during a long file
constexpr int kDoneShowMs = 1000;  // the finished state stays this long

QString T(const char* key) { return QString::fromStdString(ProgressText(key)); }

}  // namespace

CDlgRestoreProgress::CDlgRestoreProgress(std::shared_ptr<CDirNode> root, RestoreStore store,
                                         std::string target, QWidget* parent)
    : QDialog(parent),
      root_(std::move(root)),
      store_(std::move(store)),
      target_(std::move(target)),
      timer_(MakeUiTimer()) {
  setObjectName("restoreProgress");
  setWindowTitle(T("TITLE"));
  setStyleSheet(AppStyleSheet());
  setModal(true);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setMinimumWidth(460);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(22, 20, 22, 18);
  layout->setSpacing(10);

  caption_ = new QLabel(T("PROGRESS"), this);
  caption_->setObjectName("progressCaption");
  layout->addWidget(caption_);
  fileLabel_ = new QLabel(this);
  fileLabel_->setObjectName("progressFile");
  fileLabel_->setTextFormat(Qt::PlainText);
  fileLabel_->setMinimumWidth(300);
  layout->addWidget(fileLabel_);

  auto* barRow = new QHBoxLayout;
  bar_ = new QProgressBar(this);
  bar_->setObjectName("progressBar");
  bar_->setRange(0, 100);
  bar_->setTextVisible(false);
  barRow->addWidget(bar_, 1);
  percentLabel_ = new QLabel(this);
  percentLabel_->setObjectName("progressPercent");
  percentLabel_->setMinimumWidth(48);
  percentLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  barRow->addWidget(percentLabel_);
  layout->addLayout(barRow);

  auto* figures = new QGridLayout;
  figures->setHorizontalSpacing(12);
  auto* speedCaption = new QLabel(T("SPEED"), this);
  speedCaption->setObjectName("progressFigureCaption");
  speedValue_ = new QLabel(this);
  speedValue_->setObjectName("progressSpeed");
  auto* timeCaption = new QLabel(T("ESTIMATED_TIME"), this);
  timeCaption->setObjectName("progressFigureCaption");
  timeValue_ = new QLabel(this);
  timeValue_->setObjectName("progressTime");
  figures->addWidget(speedCaption, 0, 0);
  figures->addWidget(speedValue_, 0, 1);
  figures->addWidget(timeCaption, 1, 0);
  figures->addWidget(timeValue_, 1, 1);
  figures->setColumnStretch(1, 1);
  layout->addLayout(figures);

  statusLabel_ = new QLabel(this);
  statusLabel_->setObjectName("progressStatus");
  statusLabel_->setWordWrap(true);
  layout->addWidget(statusLabel_);
  failureList_ = new QPlainTextEdit(this);
  failureList_->setObjectName("progressFailures");
  failureList_->setReadOnly(true);
  failureList_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  failureList_->setMinimumHeight(120);
  failureList_->hide();
  layout->addWidget(failureList_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  pauseButton_ = new QPushButton(T("BUTTON_PAUSE"), this);
  pauseButton_->setObjectName("pauseButton");
  pauseButton_->setAutoDefault(false);
  cancelButton_ = new QPushButton(T("BUTTON_CANCEL"), this);
  cancelButton_->setObjectName("cancelButton");
  cancelButton_->setAutoDefault(false);
  closeButton_ = new QPushButton(T("BUTTON_CLOSE"), this);
  closeButton_->setObjectName("closeButton");
  closeButton_->setAutoDefault(false);
  closeButton_->hide();
  buttons->addWidget(pauseButton_);
  buttons->addWidget(cancelButton_);
  buttons->addWidget(closeButton_);
  layout->addLayout(buttons);

  connect(pauseButton_, &QPushButton::clicked, this, &CDlgRestoreProgress::OnPause);
  connect(cancelButton_, &QPushButton::clicked, this, &CDlgRestoreProgress::reject);
  connect(closeButton_, &QPushButton::clicked, this, &CDlgRestoreProgress::reject);
  timer_->OnTimeout([this] { OnTick(); });
  Redraw();
}

CDlgRestoreProgress::~CDlgRestoreProgress() {
  timer_->Stop();
  StopCarrier();
}

void CDlgRestoreProgress::showEvent(QShowEvent* event) {
  if (!started_) Centre();
  QDialog::showEvent(event);
  if (!started_) Start();
}

void CDlgRestoreProgress::Centre() {
  adjustSize();
  QRect area;
  if (QWidget* parent = parentWidget(); parent != nullptr && parent->isVisible())
    area = parent->window()->frameGeometry();
  else if (QScreen* screen = QGuiApplication::primaryScreen())
    area = screen->availableGeometry();
  if (area.isValid()) move(area.center() - rect().center());
}

bool CDlgRestoreProgress::Start() {
  if (started_) return carrier_ != nullptr;
  started_ = true;
  relay_ = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  relay_->Hold(paused_);
  carrier_ =
      std::make_unique<CRestoreCarrier>(relay_.get(), root_, store_, target_, false, keepFrom_);
  percent_ = 0;
  Redraw();
  timer_->Start(kTickMs);
  if (carrier_->Begin() != 0) {
    // No thread: the restore fails as it would without a store.
    carrier_.reset();
    QTimer::singleShot(0, this, [this] { OnRestoreFailed(); });
    return false;
  }
  return true;
}

void CDlgRestoreProgress::OnFileProgress(const RestoreProgress& progress) {
  ShowProgress(progress);
}

void CDlgRestoreProgress::OnFilePart(const RestoreProgress& progress) { ShowProgress(progress); }

void CDlgRestoreProgress::ShowProgress(const RestoreProgress& progress) {
  if (ending_) return;
  current_ = progress.currentName;
  fileLabel_->setText(fontMetrics().elidedText(QString::fromStdString(current_), Qt::ElideMiddle,
                                               std::max(fileLabel_->width(), 300)));
  percent_ = std::max(percent_, std::min<uint32_t>(progress.percent, 100));
  remaining_ = progress.remainingSeconds;
  speed_ = progress.bytesPerSecond;
  const bool newlyMeasured = progress.measured && !measured_;
  measured_ = measured_ || progress.measured;
  if (percent_ == 0 || static_cast<int>(percent_) > bar_->value() || newlyMeasured) Redraw();
}

void CDlgRestoreProgress::OnTick() {
  if (ending_ || paused_) return;
  if (percent_ < 99) ++percent_;
  if (remaining_ > 1) --remaining_;
  Redraw();
}

void CDlgRestoreProgress::Redraw() {
  bar_->setValue(static_cast<int>(percent_));
  percentLabel_->setText(QString::number(percent_) + " %");
  // Before a file has been measured both figures would be made up.
  const bool known = measured_ || finished_;
  speedValue_->setText(known ? QString::fromStdString(SpeedText(speed_))
                             : T("RESTORE_PROGRESS_NOT_MEASURED"));
  timeValue_->setText(known ? QString::fromStdString(NeededTimeText(remaining_))
                            : T("RESTORE_PROGRESS_NOT_MEASURED"));
}

void CDlgRestoreProgress::OnPause() {
  if (ending_) return;
  paused_ = !paused_;
  if (relay_) relay_->Hold(paused_);
  if (carrier_) carrier_->Hold(paused_);  // the download under way waits too
  pauseButton_->setText(T(paused_ ? "BUTTON_RESUME" : "BUTTON_PAUSE"));
}

void CDlgRestoreProgress::OnRestoreFinished() {
  if (ending_) return;
  ending_ = true;
  timer_->Stop();
  finished_ = true;
  percent_ = 100;
  remaining_ = 0;
  if (carrier_) {
    copied_ = carrier_->FilesCopied();
    failed_ = carrier_->FilesFailed();
  }
  if (failed_ == 0) {
    ShowClose();
    Redraw();
    statusLabel_->setText(T("RESTORE_PROGRESS_DONE"));
    QTimer::singleShot(kDoneShowMs, this, [this] { Finish(kFinished); });
    return;
  }
  Redraw();
  ShowFailures();
}

void CDlgRestoreProgress::ShowClose() {
  pauseButton_->hide();
  cancelButton_->hide();
  closeButton_->show();
  closeButton_->setDefault(true);
  closeButton_->setFocus();
}

void CDlgRestoreProgress::ShowFailures() {
  // Some files did not come back: say how many and why, until closed.
  ShowClose();
  caption_->hide();
  fileLabel_->hide();
  setMinimumWidth(620);
  statusLabel_->setText(QString::fromStdString(RestoreResultText(copied_, failed_)));
  QString list;
  for (const std::string& line : failures_) list += QString::fromStdString(line) + "\n";
  failureList_->setPlainText(list.trimmed());
  failureList_->show();
  adjustSize();
}

void CDlgRestoreProgress::OnFileFailed(const std::string& file, const std::string& reason) {
  failures_.push_back(file.empty() ? reason : file + "\n    " + reason);
}

void CDlgRestoreProgress::OnRestoreFailed() {
  if (ending_) return;
  ending_ = true;
  if (failures_.empty()) {
    Finish(kFailed);
    return;
  }
  // A file that could not come back ended the restore: which and why stay
  // shown until closed.
  StopCarrier();
  ShowFailures();
}

void CDlgRestoreProgress::OnMessageBox(const std::string& text) {
  ShowAppMessage(text, QMessageBox::Warning);
}

void CDlgRestoreProgress::reject() {
  cancelled_ = !ending_;  // pressed while the restore ran
  ending_ = true;
  Finish(finished_ ? kFinished : kFailed);
}

void CDlgRestoreProgress::StopCarrier() {
  timer_->Stop();
  if (carrier_) {
    carrier_->Stop();  // first: no file is put in place after the count
    copied_ = carrier_->FilesCopied();
    failed_ = carrier_->FilesFailed();
  }
  if (relay_) relay_->Hold(false);
  DiscardRestoreJob(std::move(carrier_), std::move(relay_));
}

void CDlgRestoreProgress::Finish(int result) {
  StopCarrier();
  done(result);
}
