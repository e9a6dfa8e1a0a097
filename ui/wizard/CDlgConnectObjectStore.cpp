#include "ui/wizard/CDlgConnectObjectStore.h"

#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>
#include <thread>

#include "common/Texts.h"
#include "destinations/ObjectDevice.h"
#include "destinations/StoreBinding.h"
#include "ui/widgets/TextFormat.h"

namespace {

constexpr char kSection[] = "DIALOG_CONNECT_OBJECT_STORE";
constexpr int kTickMs = 200;

QString Text(const char* key) { return QString::fromStdString(GetText(kSection, key)); }

const char* StepKey(ObjectProbeStep step) {
  switch (step) {
    case ObjectProbeStep::kReach:
      return "STEP_REACH";
    case ObjectProbeStep::kWrite:
      return "STEP_WRITE";
    case ObjectProbeStep::kRead:
      return "STEP_READ";
    default:
      return "STEP_DELETE";
  }
}

const char* CauseKey(ObjectFailure cause) {
  switch (cause) {
    case ObjectFailure::kUnreachable:
      return "UNREACHABLE";
    case ObjectFailure::kCertificate:
      return "CERTIFICATE";
    case ObjectFailure::kNotEncrypted:
      return "NOT_ENCRYPTED";
    case ObjectFailure::kBadName:
      return "NAME";
    case ObjectFailure::kKeys:
      return "KEYS";
    case ObjectFailure::kDenied:
      return "DENIED";
    case ObjectFailure::kNoBucket:
      return "NO_BUCKET";
    case ObjectFailure::kClockSkew:
      return "CLOCK_SKEW";
    case ObjectFailure::kQuota:
      return "QUOTA";
    case ObjectFailure::kBusy:
      return "BUSY";
    default:
      return "OTHER";
  }
}

// Why no test object was written in the folder: the store found there, or
// above or below it (found: that folder).
std::string FoundWords(StoreVerdict verdict, const ObjectStoreSettings& settings,
                       const std::string& found) {
  static const struct {
    StoreVerdict verdict;
    const char* key;
    bool namesFound;  // the words name the folder found, not the plan's
  } kWords[] = {{StoreVerdict::kOtherInstallation, "FOUND_OTHER_INSTALLATION", false},
                {StoreVerdict::kForeign, "FOUND_OTHER_PLAN", false},
                {StoreVerdict::kNotAMarker, "CANNOT_NOT_A_MARKER", false},
                {StoreVerdict::kUnmarkedCopies, "CANNOT_UNMARKED_COPIES", false},
                {StoreVerdict::kInsideStore, "CANNOT_INSIDE_STORE", true},
                {StoreVerdict::kNestedStore, "CANNOT_INSIDE_STORE", true},
                {StoreVerdict::kStoreBelow, "CANNOT_STORE_BELOW", true},
                {StoreVerdict::kNotAMarkerAbove, "CANNOT_NOT_A_MARKER_ABOVE", true},
                {StoreVerdict::kCopiesAbove, "CANNOT_COPIES_ABOVE", true}};
  const std::string place = ReadableObjectStore(settings);
  for (const auto& w : kWords)
    if (w.verdict == verdict)
      return FormatText(GetText(kSection, w.key),
                        {w.namesFound ? "s3://" + settings.bucket + "/" + found : place});
  return FormatText(GetText(kSection, "FOUND_UNCHECKED"), {place});
}

}  // namespace

// What the worker and the dialog share; the worker keeps its own reference.
struct CDlgConnectObjectStore::State {
  std::mutex lock;  // guards done, ok, refused, text, serverKey and earlierStore
  bool done = false;
  bool ok = false;
  bool refused = false;  // the folder is one a plan cannot use
  std::string text;
  std::string serverKey;     // the certificate's key, when it was refused
  std::string earlierStore;  // a store of an earlier plan found at the place
};

CDlgConnectObjectStore::CDlgConnectObjectStore(const ObjectStoreSettings& settings, QWidget* parent,
                                               const std::string& planFolder)
    : QDialog(parent), settings_(settings), planFolder_(planFolder), timer_(new QTimer(this)) {
  setObjectName("connectObjectStoreDialog");
  setWindowTitle(Text("TITLE"));
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  message_ = new QLabel(Text("MSG_TESTING"), this);
  message_->setObjectName("connectObjectStoreMessage");
  message_->setWordWrap(true);
  message_->setMinimumWidth(message_->fontMetrics().averageCharWidth() * 60);
  layout->addWidget(message_);
  button_ = new QPushButton(Text("BTN_CLOSE"), this);
  button_->setObjectName("connectObjectStoreButton");
  layout->addWidget(button_, 0, Qt::AlignRight);
  connect(button_, &QPushButton::clicked, this, &QDialog::accept);
  connect(timer_, &QTimer::timeout, this, &CDlgConnectObjectStore::OnTick);
  trust_ = [this](const QString& question) {
    return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  continue_ = [this](const QString& question) {
    QMessageBox box(QMessageBox::Question, windowTitle(), question, QMessageBox::NoButton, this);
    QPushButton* go = box.addButton(Text("BTN_CONTINUE_STORE"), QMessageBox::AcceptRole);
    box.addButton(Text("BTN_OTHER_FOLDER"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == go;
  };
  StartWorker();
}

void CDlgConnectObjectStore::StartWorker() {
  state_ = std::make_shared<State>();
  finished_ = false;
  refused_ = false;
  ShowText(Text("MSG_TESTING"));
  timer_->start(kTickMs);
  std::thread([settings = settings_, state = state_, planFolder = planFolder_] {
    CObjectDevice device(nullptr);
    PlanSettings plan;
    plan.storageType = kStorageObject;
    plan.objectStore = settings;
    device.Configure(plan);
    // Whose store the folder holds is looked at before anything is written in it.
    StoreVerdict found = StoreVerdict::kFresh;
    const ObjectProbeResult result = device.TestConnection([&] {
      found = StoreFoundAt(device, planFolder);
      return found == StoreVerdict::kFresh || found == StoreVerdict::kOwn ||
             found == StoreVerdict::kEarlierStore;
    });
    std::string serverKey;
    if (result.cause == ObjectFailure::kCertificate) serverKey = device.ProbeServerKey();
    std::string text = GetText(kSection, "MSG_SUCCESS");
    if (result.keepsVersions)
      text += " " + FormatText(GetText("STORE", "BUCKET_KEEPS_VERSIONS"),
                               {ReadableObjectStore(settings)});
    if (result.failedAt != ObjectProbeStep::kNone)
      text = GetText(kSection, StepKey(result.failedAt)) + " " +
             GetText("OBJECT_STORE_REFUSED", CauseKey(result.cause));
    else if (!result.written)
      text = FoundWords(found, settings, device.FoundFolder());
    // A store found there that an earlier plan of this installation made.
    const std::string earlier =
        result.failedAt == ObjectProbeStep::kNone ? EarlierStoreAt(device) : std::string();
    device.Close();
    std::lock_guard<std::mutex> guard(state->lock);
    state->done = true;
    state->earlierStore = earlier;
    state->ok = result.failedAt == ObjectProbeStep::kNone && result.written;
    state->refused = result.failedAt == ObjectProbeStep::kNone && RefusesStore(found);
    state->text = std::move(text);
    state->serverKey = std::move(serverKey);
  }).detach();
}

CDlgConnectObjectStore::~CDlgConnectObjectStore() = default;

void CDlgConnectObjectStore::ShowText(const QString& text) {
  message_->setText(text);
  // A wrapped label's hint is a guess: the box is made as tall as its words
  // need at its narrowest, so none is cut off.
  message_->setMinimumHeight(message_->heightForWidth(message_->minimumWidth()));
  adjustSize();
}

void CDlgConnectObjectStore::OnTick() {
  std::lock_guard<std::mutex> guard(state_->lock);
  if (!state_->done) return;
  timer_->stop();
  finished_ = true;
  succeeded_ = state_->ok;
  refused_ = state_->refused;
  ShowText(QString::fromStdString(state_->text));
  if (state_->ok && !state_->earlierStore.empty()) {
    // Never mixed into silently: continued on the user's word alone.
    const QString found = message_->text() + "\n\n" + Text("MSG_EARLIER_STORE");
    const bool go = continue_ && continue_(found);
    if (go) continuedStore_ = state_->earlierStore;
    succeeded_ = go;
    refused_ = !go;  // an earlier plan's store is no new plan's unless continued
    ShowText(found + "\n\n" + Text(go ? "MSG_STORE_CONTINUED" : "MSG_CHOOSE_OTHER_FOLDER"));
    return;
  }
  if (state_->ok || state_->serverKey.empty()) return;
  // The certificate was refused: its key, offered for trust.
  const bool changed = !settings_.pinnedKey.empty();
  const QString shown = message_->text() + "\n" +
                        Text(changed ? "MSG_CERT_KEY_CHANGED" : "MSG_CERT_UNTRUSTED") + "\n" +
                        Text(changed ? "MSG_NEW_KEY" : "MSG_KEY") + "\n" +
                        QString::fromStdString(state_->serverKey);
  ShowText(shown);
  const std::string key = state_->serverKey;
  if (trust_ && trust_(shown + "\n\n" + Text("MSG_TRUST_KEY"))) {
    acceptedKey_ = key;
    settings_.pinnedKey = key;
    StartWorker();
  }
}
