#include "ui/CDlgConnectFtp.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>

#include "app/Texts.h"
#include "destinations/FtpDevice.h"
#include "ui/UiTimer.h"

namespace {

constexpr char kSection[] = "DIALOG_CONNECT_FTP";
constexpr int kTickMs = 1000;
constexpr int kTickLimit = 21;

QString Text(const char* key) { return QString::fromStdString(GetText(kSection, key)); }

}  // namespace

// What the worker and the dialog share; the worker holds its own reference,
// so the record outlives a dialog that was closed meanwhile.
struct CDlgConnectFtp::State {
  std::mutex lock;  // guards done and ok
  bool done = false;
  bool ok = false;
};

namespace {

// The test itself, on the worker thread: a throw-away destination without a
// plan, connected, refreshed and asked to place the marker.
void RunTest(const FtpSettings& settings, const std::shared_ptr<CDlgConnectFtp::State>& state) {
  bool ok = false;
  {
    CFTPDevice device(nullptr);
    PlanSettings plan;
    plan.storageType = kStorageFtp;
    plan.ftp = settings;
    device.Configure(plan);
    device.Prepare(true);
    device.Refresh();
    if (device.IsAvailable()) {
      for (int i = 0; i < 2 && !ok; ++i) ok = device.PlaceMarker();
    }
    device.Close();
  }
  std::lock_guard<std::mutex> guard(state->lock);
  state->done = true;
  state->ok = ok;
}

}  // namespace

CDlgConnectFtp::CDlgConnectFtp(const FtpSettings& settings, QWidget* parent)
    : QDialog(parent), state_(std::make_shared<State>()), timer_(MakeUiTimer()) {
  setObjectName("connectFtpDialog");
  setWindowTitle(Text("TITLE"));
  auto* layout = new QVBoxLayout(this);
  message_ = new QLabel(Text("MSG_CONNECTING"), this);
  message_->setObjectName("connectFtpMessage");
  message_->setWordWrap(true);
  layout->addWidget(message_);
  button_ = new QPushButton(Text("BTN_CANCEL"), this);
  button_->setObjectName("connectFtpButton");
  layout->addWidget(button_, 0, Qt::AlignRight);
  connect(button_, &QPushButton::clicked, this, [this] { OnButton(); });
  ask_ = [this] {
    return QMessageBox::question(this, windowTitle(), Text("MSG_CANCEL_CONNECT"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  timer_->OnTimeout([this] { OnTick(); });
  timer_->Start(kTickMs);
  worker_ = std::thread(RunTest, settings, state_);
}

CDlgConnectFtp::~CDlgConnectFtp() {
  timer_->Stop();
  if (worker_.joinable()) worker_.detach();  // it ends on its own, touching only its state
}

bool CDlgConnectFtp::WorkerEnded() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->done;
}

void CDlgConnectFtp::OnTick() {
  if (!running_) return;
  bool done, ok;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    done = state_->done;
    ok = state_->ok;
  }
  if (done && ok) {
    succeeded_ = true;
    if (worker_.joinable()) worker_.join();
    Finish("MSG_CONNECTION_SUCCESSFUL");
    return;
  }
  if (++ticks_ >= kTickLimit) {
    Abandon();
    Finish("MSG_CONNECTION_FAIL");
  }
}

void CDlgConnectFtp::Finish(const char* textKey) {
  running_ = false;
  timer_->Stop();
  message_->setText(Text(textKey));
  button_->setText(Text("BTN_CLOSE"));
}

void CDlgConnectFtp::Abandon() {
  running_ = false;
  timer_->Stop();
  if (worker_.joinable()) worker_.detach();
}

void CDlgConnectFtp::OnButton() {
  if (!running_) {
    if (succeeded_) {
      accept();
    } else {
      reject();
    }
    return;
  }
  if (!ask_ || !ask_()) return;  // go on waiting
  if (!running_) return;         // the test ended while the question was open
  Abandon();
  reject();
}
