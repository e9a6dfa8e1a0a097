#include "ui/CDlgRestoreProgress.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "app/Texts.h"
#include "ui/AppMessage.h"
#include "ui/RestoreRelay.h"
#include "ui/RestoreTexts.h"
#include "ui/StyleSheet.h"

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
  setMinimumWidth(460);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(22, 20, 22, 18);
  layout->setSpacing(10);

  auto* caption = new QLabel(T("PROGRESS"), this);
  caption->setObjectName("progressCaption");
  layout->addWidget(caption);
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
  layout->addWidget(statusLabel_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  pauseButton_ = new QPushButton(T("BUTTON_PAUSE"), this);
  pauseButton_->setObjectName("pauseButton");
  pauseButton_->setAutoDefault(false);
  cancelButton_ = new QPushButton(T("BUTTON_CANCEL"), this);
  cancelButton_->setObjectName("cancelButton");
  cancelButton_->setAutoDefault(false);
  buttons->addWidget(pauseButton_);
  buttons->addWidget(cancelButton_);
  layout->addLayout(buttons);

  connect(pauseButton_, &QPushButton::clicked, this, &CDlgRestoreProgress::OnPause);
  connect(cancelButton_, &QPushButton::clicked, this, &CDlgRestoreProgress::reject);
  timer_->OnTimeout([this] { OnTick(); });
  Redraw();
}

CDlgRestoreProgress::~CDlgRestoreProgress() {
  timer_->Stop();
  StopCarrier();
}

void CDlgRestoreProgress::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!started_) Start();
}

bool CDlgRestoreProgress::Start() {
  if (started_) return carrier_ != nullptr;
  started_ = true;
  relay_ = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  relay_->Hold(paused_);
  carrier_ = std::make_unique<CRestoreCarrier>(relay_.get(), root_, store_, target_, false);
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

void CDlgRestoreProgress::ShowProgress(const RestoreProgress& progress) {
  if (ending_) return;
  current_ = progress.currentName;
  fileLabel_->setText(fontMetrics().elidedText(QString::fromStdString(current_), Qt::ElideMiddle,
                                               std::max(fileLabel_->width(), 300)));
  percent_ = std::max(percent_, std::min<uint32_t>(progress.percent, 100));
  remaining_ = progress.remainingSeconds;
  speed_ = progress.bytesPerSecond;
  if (percent_ == 0 || static_cast<int>(percent_) > bar_->value()) Redraw();
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
  speedValue_->setText(QString::fromStdString(SpeedText(speed_)));
  timeValue_->setText(QString::fromStdString(NeededTimeText(remaining_)));
}

void CDlgRestoreProgress::OnPause() {
  if (ending_) return;
  paused_ = !paused_;
  if (relay_) relay_->Hold(paused_);
  pauseButton_->setText(T(paused_ ? "BUTTON_RESUME" : "BUTTON_PAUSE"));
}

void CDlgRestoreProgress::OnRestoreFinished() {
  if (ending_) return;
  ending_ = true;
  timer_->Stop();
  percent_ = 100;
  remaining_ = 0;
  statusLabel_->setText(T("RESTORE_PROGRESS_DONE"));
  pauseButton_->setEnabled(false);
  Redraw();
  QTimer::singleShot(kDoneShowMs, this, [this] { Finish(kFinished); });
}

void CDlgRestoreProgress::OnRestoreFailed() {
  if (ending_) return;
  ending_ = true;
  Finish(kFailed);
}

void CDlgRestoreProgress::OnMessageBox(const std::string& text) {
  ShowAppMessage(text, QMessageBox::Warning);
}

void CDlgRestoreProgress::reject() {
  ending_ = true;
  Finish(kFailed);
}

void CDlgRestoreProgress::StopCarrier() {
  timer_->Stop();
  if (carrier_) {
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
