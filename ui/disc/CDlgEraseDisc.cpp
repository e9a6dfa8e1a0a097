#include "ui/disc/CDlgEraseDisc.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "common/Texts.h"
#include "ui/disc/CDlgErrBurning.h"
#include "ui/disc/CDlgStopBurning.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/widgets/TextFormat.h"

namespace {
// The section's name is spelt this way in the text file.
std::string T(const char* key) { return GetText("DIAlOG_ERASE_DISC", key); }
QString Q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

CDlgEraseDisc::CDlgEraseDisc(std::string recorder, bool thenArchive, QWidget* parent)
    : QDialog(parent), worker_(std::make_unique<disc::CDiscBurn>(unused_)) {
  setObjectName("eraseDisc");
  setWindowTitle(Q(T("TITLE")));
  setStyleSheet(AppStyleSheet());
  setModal(true);
  worker_->SetRecorder(std::move(recorder));
  worker_->SetEraseOnly(true);

  auto* layout = new QVBoxLayout(this);
  phase_ = new QLabel(Q(FormatText(T("PHASE"), {T("ERASE")})), this);
  phase_->setObjectName("erasePhase");
  layout->addWidget(phase_);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 0);  // erasing reports no steps worth showing
  bar_->setMinimumWidth(380);
  layout->addWidget(bar_);
  time_ = new QLabel(this);
  layout->addWidget(time_);
  if (thenArchive) {
    auto* next = new QLabel(Q(T("ARCHIVING_PROCESS")), this);
    next->setWordWrap(true);
    layout->addWidget(next);
  }
  cancel_ = new QPushButton(Q(T("BUTTON_CANCEL")), this);
  cancel_->setObjectName("cancelButton");
  connect(cancel_, &QPushButton::clicked, this, &CDlgEraseDisc::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &CDlgEraseDisc::Poll);
}

CDlgEraseDisc::~CDlgEraseDisc() = default;

bool CDlgEraseDisc::Start() {
  if (started_) return true;
  started_ = true;
  startedMs_ = QDateTime::currentMSecsSinceEpoch();
  const bool ok = worker_->StartJob() == 0;
  timer_->start(100);
  return ok;
}

void CDlgEraseDisc::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Start();
}

void CDlgEraseDisc::Poll() {
  // A quick erase takes about a minute on the drives that need one.
  const qint64 seconds = (QDateTime::currentMSecsSinceEpoch() - startedMs_) / 1000;
  time_->setText(
      Q(FormatText(T("ESTIMATED_TIME"), {FormatDuration(std::max<qint64>(0, 60 - seconds))})));
  if (worker_->Running()) return;
  timer_->stop();
  worker_->Join();
  if (worker_->Failed()) {
    outcome_ = kFailed;
    CDlgErrBurning(worker_->ErrorText(), {}, this).Ask();
  } else {
    outcome_ = worker_->StopRequested() ? kStopped : kErased;
    phase_->setText(Q(T("ERASE_FINISHED")));
  }
  done(outcome_);
}

void CDlgEraseDisc::reject() {
  if (outcome_ != 0 || !started_) {
    done(outcome_ != 0 ? outcome_ : kStopped);
    return;
  }
  if (CDlgStopBurning(this).Ask() == CDlgSureMessage::kOk) worker_->Stop();
}
