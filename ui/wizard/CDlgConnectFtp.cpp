#include "ui/wizard/CDlgConnectFtp.h"

#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <mutex>

#include "common/Texts.h"
#include "destinations/FtpDevice.h"
#include "plans/RuleSet.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"
#include "ui/widgets/TextFormat.h"
#include "ui/widgets/UiTimer.h"

namespace {

constexpr char kSection[] = "DIALOG_CONNECT_FTP";
constexpr int kTickMs = 1000;
// The fewest ticks a test is given, and the longest wait of one reply.
constexpr int kMinTicks = 21;
constexpr int kLongestWait = 120;
// Replies a login of the device waits for at most, each within the time-out.
constexpr int kLoginReplies = 8;
// As long as the device may take: each of its (retries + 1) logins, and the
// two tries of the marker (each a login and its four requests' replies).
int TickLimit(const FtpSettings& s) {
  const int wait = s.timeout > 0 ? std::min(s.timeout, kLongestWait) : 30;
  const int logins = (std::max(s.retryCount, 0) + 1) * kLoginReplies * wait;
  const int marker = 2 * (kLoginReplies + 4) * wait;
  return std::max(kMinTicks, logins + marker + 5);
}

// How long a logged-in test waits for the server to confirm its test file:
// a minute, or twice the time-out setting when that is longer. A slow but
// working server (one taking 10 KB/s confirms the 83-byte file after about
// 25 s) passes; one that takes the file and never confirms it is told as
// such then, not after every wait the plan's time-out allows.
int ConfirmLimit(const FtpSettings& s) {
  return std::max(60, 2 * std::min(std::max(s.timeout, 0), kLongestWait));
}

QString Text(const char* key) { return QString::fromStdString(GetText(kSection, key)); }

}  // namespace

// What the worker and the dialog share; the worker holds its own reference,
// so the record outlives a dialog that was closed meanwhile.
struct CDlgConnectFtp::State {
  std::atomic<bool> stop{false};  // set by the dialog: the worker's requests end at once
  std::mutex lock;                // guards every field below
  bool done = false;
  bool loggedIn = false;  // the test file is being written
  bool ok = false;
  bool encrypted = false;
  FtpTlsFault fault = FtpTlsFault::kNone;
  std::string serverKey;  // for an unvouched certificate: the key it shows
  std::string cause;      // why it failed, in words
  std::string loop;       // the store's folder found around the sources
  bool refused = false;   // that folder holds a source: said in cause alone
  bool readable = false;  // the server refused to make the marker private
};

namespace {

// The test itself, on the worker thread: a throw-away destination without a
// plan, connected, refreshed and asked to place the marker.
void RunTest(const FtpSettings& settings, const std::vector<std::string>& sources,
             const std::shared_ptr<CDlgConnectFtp::State>& state) {
  bool ok = false, encrypted = false, refused = false, readable = false;
  FtpTlsFault fault = FtpTlsFault::kNone;
  std::string serverKey, cause, loop;
  // Every request of the device checks the flag: a test given up on closes
  // its connection within a second.
  plat::SetThreadCancelFlag(&state->stop);
  {
    CFTPDevice device(nullptr);
    PlanSettings plan;
    plan.storageType = kStorageFtp;
    plan.ftp = settings;
    device.Configure(plan);
    // Logged in first, the marker placed after: the dialog gives that step a
    // wait of its own.
    device.Prepare(false);
    fault = device.TlsFault();
    if (fault == FtpTlsFault::kNone && !device.IsAvailable()) device.Refresh();
    if (device.IsAvailable()) {
      {
        std::lock_guard<std::mutex> guard(state->lock);
        state->loggedIn = true;
      }
      encrypted = device.Encrypted();
      for (int i = 0; i < 2 && !ok; ++i) ok = device.PlaceMarker();
      if (!ok) cause = GetText(kSection, "MSG_FOLDER_NOT_WRITABLE");
      readable = ok && !device.KeepsModes();
      // A server that is this machine may keep the store inside a protected
      // folder, wherever it maps the login: its marker tells. A store that
      // holds a protected folder would take it for its own: refused.
      if (ok && !sources.empty()) loop = device.FindLocalStore(sources);
      for (const std::string& source : sources) {
        if (loop.empty() || !StoreHoldsFolder(loop, source)) continue;
        ok = false;
        std::string store = loop, held = source;
        plat::ToNativePath(loop, &store);
        plat::ToNativePath(source, &held);
        cause =
            FormatText(GetText("WIZARD_BACKUP_DEST", "SERVER_STORE_HOLDS_SOURCES"), {store, held});
        refused = true;
        break;
      }
    } else {
      std::string server;
      device.TakeServerRefusal(&server, &cause);
    }
    if (fault == FtpTlsFault::kNone) fault = device.TlsFault();
    // A key never trusted, or another than the trusted one: the key the
    // server shows now, offered for trust.
    if (fault == FtpTlsFault::kUntrusted || fault == FtpTlsFault::kKeyChanged)
      serverKey = device.ProbeServerKey();
    device.Close();
  }
  plat::SetThreadCancelFlag(nullptr);
  std::lock_guard<std::mutex> guard(state->lock);
  state->done = true;
  state->ok = ok;
  state->encrypted = encrypted;
  state->fault = fault;
  state->serverKey = std::move(serverKey);
  state->cause = std::move(cause);
  state->loop = std::move(loop);
  state->refused = refused;
  state->readable = readable;
}

}  // namespace

CDlgConnectFtp::CDlgConnectFtp(const FtpSettings& settings, QWidget* parent,
                               std::vector<std::string> sources)
    : QDialog(parent), timer_(MakeUiTimer()), settings_(settings), sources_(std::move(sources)) {
  setObjectName("connectFtpDialog");
  setWindowTitle(Text("TITLE"));
  auto* layout = new QVBoxLayout(this);
  message_ = new QLabel(Text("MSG_CONNECTING"), this);
  message_->setObjectName("connectFtpMessage");
  message_->setWordWrap(true);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // Room for a key fingerprint on one line; the window grows with the text.
  message_->setMinimumWidth(message_->fontMetrics().averageCharWidth() * 72);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
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
  trust_ = [this](const QString& question) {
    return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  timer_->OnTimeout([this] { OnTick(); });
  StartWorker();
}

void CDlgConnectFtp::StartWorker() {
  state_ = std::make_shared<State>();
  ticks_ = 0;
  confirmTicks_ = 0;
  tickLimit_ = TickLimit(settings_);
  running_ = true;
  message_->setText(Text("MSG_CONNECTING"));
  button_->setText(Text("BTN_CANCEL"));
  timer_->Start(kTickMs);
  worker_ = std::thread(RunTest, settings_, sources_, state_);
}

CDlgConnectFtp::~CDlgConnectFtp() {
  timer_->Stop();
  state_->stop = true;
  if (worker_.joinable()) worker_.detach();  // it ends on its own, touching only its state
}

bool CDlgConnectFtp::WorkerEnded() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->done;
}

void CDlgConnectFtp::OnTick() {
  if (!running_) return;
  bool done, ok, encrypted, refused, readable, loggedIn;
  FtpTlsFault fault;
  std::string serverKey, cause;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    cause = state_->cause;
    loopFolder_ = state_->loop;
    done = state_->done;
    ok = state_->ok;
    encrypted = state_->encrypted;
    refused = state_->refused;
    fault = state_->fault;
    serverKey = state_->serverKey;
    readable = state_->readable;
    loggedIn = state_->loggedIn;
  }
  if (done && ok) {
    succeeded_ = true;
    if (worker_.joinable()) worker_.join();
    QString text = Text("MSG_CONNECTION_SUCCESSFUL") + "\n" +
                   Text(encrypted ? "MSG_ENCRYPTED" : "MSG_NOT_ENCRYPTED");
    std::string native;
    if (!loopFolder_.empty() && plat::ToNativePath(loopFolder_, &native))
      text += "\n\n" + QString::fromStdString(FormatText(
                           GetText("WIZARD_BACKUP_DEST", "SERVER_STORE_INSIDE_SOURCE"), {native}));
    if (readable) text += "\n\n" + Text("MSG_PRIVATE_NOT_SENT");
    Finish(text);
    return;
  }
  // Faults of the encryption are told at once: waiting does not mend them.
  // An SFTP server's host key has texts of its own.
  FtpSettings normal = settings_;
  NormaliseFtpSettings(&normal);
  const bool ssh = IsSftpServer(normal.server);
  if (done && fault == FtpTlsFault::kNotOffered) {
    if (worker_.joinable()) worker_.join();
    Finish(Text("MSG_TLS_NOT_OFFERED"));
    return;
  }
  const bool changed = fault == FtpTlsFault::kKeyChanged;
  if (done && changed && serverKey.empty()) {
    if (worker_.joinable()) worker_.join();
    Finish(Text(ssh ? "MSG_SSH_KEY_CHANGED" : "MSG_TLS_KEY_CHANGED"));
    return;
  }
  if (done && (changed || fault == FtpTlsFault::kUntrusted) && !serverKey.empty()) {
    if (worker_.joinable()) worker_.join();
    const char* key = changed ? (ssh ? "MSG_SSH_KEY_CHANGED" : "MSG_TLS_KEY_CHANGED")
                              : (ssh ? "MSG_SSH_UNTRUSTED" : "MSG_TLS_UNTRUSTED");
    const QString shown = Text(key) + "\n" + Text(changed ? "MSG_NEW_KEY" : "MSG_KEY") + "\n" +
                          QString::fromStdString(serverKey);
    Finish(shown);
    if (trust_ && trust_(shown + "\n\n" + Text("MSG_TLS_ACCEPT"))) {
      acceptedKey_ = serverKey;
      settings_.pinnedKey = serverKey;
      StartWorker();
    }
    return;
  }
  if (done && refused) {  // the store would hold a protected folder
    if (worker_.joinable()) worker_.join();
    Finish(QString::fromStdString(cause));
    return;
  }
  if (done) {  // failed otherwise: said with its cause
    if (worker_.joinable()) worker_.join();
    Finish(Text("MSG_CONNECTION_FAIL") +
           (cause.empty() ? "" : "\n" + QString::fromStdString(cause)));
    return;
  }
  if (loggedIn && ++confirmTicks_ >= ConfirmLimit(settings_)) {
    Abandon();
    Finish(QString::fromStdString(FormatText(GetText(kSection, "MSG_TEST_FILE_UNCONFIRMED"),
                                             {std::to_string(ConfirmLimit(settings_))})));
    return;
  }
  if (!loggedIn && ++ticks_ >= tickLimit_) {
    Abandon();
    Finish(Text("MSG_CONNECTION_FAIL") + "\n" + Text("MSG_NO_ANSWER"));
  }
}

void CDlgConnectFtp::Finish(const QString& text) {
  running_ = false;
  timer_->Stop();
  message_->setText(text);
  button_->setText(Text("BTN_CLOSE"));
  adjustSize();
}

void CDlgConnectFtp::Abandon() {
  running_ = false;
  timer_->Stop();
  state_->stop = true;
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
