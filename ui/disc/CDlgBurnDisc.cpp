#include "ui/disc/CDlgBurnDisc.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "common/Texts.h"
#include "ui/disc/CDlgEraseBurning.h"
#include "ui/disc/CDlgErrBurning.h"
#include "ui/disc/CDlgStopBurning.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/widgets/TextFormat.h"

namespace {
CDlgBurnDisc* gOpen = nullptr;  // the window whose job runs (interface thread only)
std::string T(const char* key) { return GetText("DIALOG_BURN_DISC", key); }
QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string Num(uint64_t n) { return std::to_string(n); }
std::string Discs(uint64_t n) {
  return FormatText(T(n == 1 ? "DISCS_ONE" : "DISCS"), {LocaleNumber(n)});
}
}  // namespace

CDlgBurnDisc::CDlgBurnDisc(const BurnJob& job, disc::PendingList& list, QWidget* parent)
    : QDialog(parent), job_(job), worker_(std::make_unique<disc::CDiscBurn>(list)) {
  setObjectName("burnDisc");
  setWindowTitle(Q(T("TITLE")));
  setStyleSheet(AppStyleSheet());
  setModal(true);
  worker_->SetRecorder(job.recorder);
  worker_->SetDiscName(job.discName);
  worker_->SetLatestFolder(job.latest);
  worker_->SetTotalBytes(job.totalBytes);
  worker_->SetDiscsNeeded(job.discsNeeded);
  worker_->SetVerify(job.verify);
  worker_->SetEject(job.eject);
  worker_->SetWriteSpeed(job.writeSpeed);

  auto* layout = new QVBoxLayout(this);
  auto label = [&](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(name);
    l->setWordWrap(true);
    layout->addWidget(l);
    return l;
  };
  leadIn_ = label("burnLeadIn");
  phase_ = label("burnPhase");
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 1000);
  bar_->setMinimumWidth(460);
  layout->addWidget(bar_);
  speed_ = label("burnSpeed");
  timeLeft_ = label("burnTimeLeft");
  startedAt_ = label("burnStartedAt");
  report_ = label("burnReport");
  message_ = label("burnMessage");
  continue_ = new QPushButton(Q(T("BUTTON_CONTINUE")), this);
  continue_->setObjectName("continueButton");
  continue_->hide();
  cancel_ = new QPushButton(Q(T("BUTTON_CANCEL")), this);
  cancel_->setObjectName("cancelButton");
  connect(continue_, &QPushButton::clicked, this, [this] {
    continue_->hide();
    message_->clear();
    worker_->NextDisc();
  });
  connect(cancel_, &QPushButton::clicked, this, &CDlgBurnDisc::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(continue_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &CDlgBurnDisc::Poll);
}

CDlgBurnDisc::~CDlgBurnDisc() {
  if (gOpen == this) gOpen = nullptr;
}

void CDlgBurnDisc::EndIfOpen() {
  CDlgBurnDisc* open = gOpen;
  if (open == nullptr || open->outcome_ != 0) return;
  open->ending_ = true;
  open->worker_->Stop();
  open->Finish();
  open->done(open->outcome_);
}

bool CDlgBurnDisc::Start() {
  if (started_) return true;
  started_ = true;
  gOpen = this;
  startedMs_ = QDateTime::currentMSecsSinceEpoch();
  startedAt_->setText(
      Q(FormatText(T("BURN_PROCESS_STARTED_AT"),
                   {QDateTime::currentDateTime().toString("HH:mm:ss").toStdString()})));
  const bool ok = worker_->StartJob() == 0;
  timer_->start(100);
  Poll();
  return ok;
}

void CDlgBurnDisc::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Start();
}

void CDlgBurnDisc::Poll() {
  disc::BurnCounters& c = disc::Counters();
  const uint32_t discNo = std::max<uint32_t>(c.discNumber.load(), 1);
  const uint64_t total = std::max<uint64_t>(c.totalBytes.load(), 1);
  const uint64_t written = std::min(c.writtenBytes.load(), total);
  bar_->setValue(int(written * 1000 / total));
  phase_->setText(
      Q(FormatText(T("BURN_DISC_PHASE"), {Num(discNo), Num(std::max(job_.discsNeeded, discNo))})));
  report_->setText(Q(FormatText(T("BURN_REPORT"), {CountText("FILES", worker_->FilesOnDiscs())})));
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  const bool waiting = worker_->Waiting();
  if (!waiting && waitSinceMs_ != 0) {  // the time spent waiting for a disc is no writing time
    pausedMs_ += now - waitSinceMs_;
    waitSinceMs_ = 0;
  }
  const qint64 busyMs = std::max<qint64>(now - startedMs_ - pausedMs_, 1);
  const uint64_t perSecond = written * 1000 / uint64_t(busyMs);
  if (perSecond > 0 && !waiting) {  // frozen while waiting
    speed_->setText(Q(FormatText(
        T("BURN_SPEED"), {FormatText(T("BURN_SPEED_PER"), {FormatSize(perSecond, "", false)})})));
    timeLeft_->setText(Q(FormatText(T("BURN_ESTIMATED_TIME"),
                                    {FormatDuration(int64_t((total - written) / perSecond))})));
  }
  if (!worker_->Running()) return Finish();
  if (waiting) {
    if (worker_->WaitNumber() != shownWait_) ShowWait(discNo, now);
    return;
  }
  leadIn_->setText(Q(FormatText(T(worker_->Verifying() ? "VERIFYING_LEAD_IN" : "WRITING_LEAD_IN"),
                                {Num(discNo)})));
}

// A new wait for a disc: after a finished disc, or because the disc put in
// was refused. A rewritable disc with data is erased only after the warning.
void CDlgBurnDisc::ShowWait(uint32_t discNo, qint64 now) {
  shownWait_ = worker_->WaitNumber();
  const disc::NextDiscRefusal refusal = worker_->Refusal();
  if (waitSinceMs_ == 0) waitSinceMs_ = now;
  if (refusal == disc::NextDiscRefusal::kNone) {
    const std::string done = FormatText(
        T(job_.verify ? "BURN_VERIFY_COMPLETED" : "BURN_PROCESS_COMPLETED"), {Num(discNo)});
    leadIn_->setText(Q(done));
  }
  const char* key = "BURN_PLEASE_INSERT_NEXT_DISC";
  if (refusal == disc::NextDiscRefusal::kJustWritten) key = "DISC_JUST_WRITTEN";
  if (refusal == disc::NextDiscRefusal::kHoldsData) key = "DISC_HOLDS_DATA";
  if (refusal == disc::NextDiscRefusal::kNoDisc) key = "DISC_MISSING";
  if (refusal == disc::NextDiscRefusal::kAskErase) {
    key = "DISC_HOLDS_DATA";
    if (CDlgEraseBurning(this).Ask() == CDlgSureMessage::kOk) {
      message_->clear();
      worker_->EraseAndContinue();
      return;
    }
  }
  message_->setText(Q(FormatText(T(key), {Num(discNo)})));
  continue_->show();
  continue_->setDefault(true);
  adjustSize();
}

std::string CDlgBurnDisc::Skipped() const {
  const uint64_t skipped = worker_->FilesSkipped();
  return skipped == 0 ? std::string()
                      : " " + FormatText(T("BURN_SKIPPED"), {CountText("FILES", skipped)});
}

void CDlgBurnDisc::Finish() {
  timer_->stop();
  worker_->Join();
  continue_->hide();
  cancel_->setText(Q(T("BUTTON_CLOSE")));
  if (gOpen == this) gOpen = nullptr;
  if (worker_->Failed()) {
    outcome_ = kFailed;
    message_->setText(Q(FormatText(T("BURN_FAILED"), {worker_->ErrorText(),
                                                      CountText("FILES", worker_->FilesOnDiscs()),
                                                      Discs(worker_->DiscsWritten())}) +
                        Skipped()));
    if (ending_) {
      // no question while the program ends
    } else if (worker_->BadStructure()) {
      CDlgErrBurning(T("BAD_STRUCTURE"), T("BAD_STRUCTURE_TITLE"), this).Ask();
    } else {
      CDlgErrBurning(worker_->ErrorText(), {}, this).Ask();
    }
  } else if (worker_->StopRequested()) {
    outcome_ = kStopped;
    leadIn_->clear();
    speed_->clear();
    timeLeft_->clear();
    message_->setText(Q(
        FormatText(T(worker_->Unfinished() ? "BURN_STOPPED" : "BURN_STOPPED_BETWEEN"),
                   {CountText("FILES", worker_->FilesOnDiscs()), Discs(worker_->DiscsWritten())}) +
        Skipped()));
  } else {
    outcome_ = kFinished;
    bar_->setValue(1000);
    leadIn_->clear();
    message_->setText(Q(FormatText(T("BURN_FINISHED"), {CountText("FILES", worker_->FilesOnDiscs()),
                                                        Discs(worker_->DiscsWritten())}) +
                        Skipped()));
  }
  adjustSize();
}

void CDlgBurnDisc::reject() {
  if (outcome_ != 0 || !started_) {
    done(outcome_ != 0 ? outcome_ : kStopped);
    return;
  }
  if (CDlgStopBurning(this, worker_->Waiting()).Ask() == CDlgSureMessage::kOk) {
    worker_->Stop();
    continue_->hide();
  }
}
