#include "ui/wizard/CWPSelectDest.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>

#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "engine/PlanList.h"
#include "platform/base/Text.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"
#include "ui/widgets/CDlgSureMessage.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/DestPageParts.h"
#include "ui/wizard/WizardAnswers.h"
#include "ui/wizard/WizardWorker.h"

using dest_parts::kSection;
using dest_parts::NativeOf;
using dest_parts::Text;
using dest_parts::Trimmed;

CWPSelectDest::CWPSelectDest(WizardContext* context, QWidget* parent)
    : CWizardPage(context, parent) {
  setObjectName("wizardDestPage");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  tabs_ = new QTabBar(this);
  tabs_->setObjectName("destTabs");
  tabs_->setExpanding(false);
  tabs_->setDrawBase(false);
  for (const char* key :
       {"TAB_NAME_EXTERNAL_HARD_DRIVE", "TAB_NAME_USB_KEY", "TAB_NAME_NETWORK_DRIVE",
        "TAB_NAME_FTP_SERVER", "TAB_NAME_LOCAL_DRIVE", "TAB_NAME_OBJECT_STORE"})
    tabs_->addTab(Text(key));
  layout->addWidget(tabs_);

  auto* frame = new QFrame(this);
  frame->setObjectName("destPanel");
  auto* frameLayout = new QVBoxLayout(frame);
  frameLayout->setContentsMargins(16, 14, 16, 14);
  tabHint_ = new QLabel(frame);
  tabHint_->setObjectName("wizardHint");
  tabHint_->setWordWrap(true);
  tabHint_->setText(Text("TAB_HINT_EXTERNAL_HARD_DRIVE"));
  frameLayout->addWidget(tabHint_);
  kind_ = new QLabel(frame);
  kind_->setObjectName("destKindLabel");
  kind_->setWordWrap(true);
  kind_->setText(QString::fromStdString(
      FormatText(GetText(kSection, "PLAN_KIND"), {tabs_->tabText(0).toStdString()})));
  frameLayout->addWidget(kind_);
  panels_ = new QStackedWidget(frame);
  frameLayout->addWidget(panels_, 1);
  layout->addWidget(frame, 1);

  panels_->addWidget(MakeDiskPanel());
  panels_->addWidget(MakeServerPanel());
  panels_->addWidget(MakeObjectPanel());
  layout->addSpacing(4);

  tabs_->installEventFilter(this);
  connect(tabs_, &QTabBar::currentChanged, this, [this](int tab) {
    if (!settingTab_) tabChosen_ = true;
    ShowTab(tab);
    if (ctx_->nextChanged) ctx_->nextChanged();
  });
}

QString CWPSelectDest::Title() const { return Text("TITLE"); }

void CWPSelectDest::showEvent(QShowEvent* event) {
  shown_.start();
  CWizardPage::showEvent(event);
}

bool CWPSelectDest::eventFilter(QObject* watched, QEvent* event) {
  // The page may open where the user was clicking (a card's button): a
  // click on the tabs that soon after it appeared chooses nothing.
  const QEvent::Type type = event->type();
  if (watched == tabs_ &&
      (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick ||
       type == QEvent::MouseButtonRelease) &&
      shown_.isValid() && shown_.elapsed() < QApplication::doubleClickInterval())
    return true;
  return CWizardPage::eventFilter(watched, event);
}

bool CWPSelectDest::KindChangeConfirmed() {
  const int tab = tabs_->currentIndex();
  const int32_t kind = StorageTypeOfTab(tab);
  if (ctx_->newPlan || planTab_ < 0 || kind == StorageTypeOfTab(planTab_) || kind == confirmedKind_)
    return true;
  const std::string question =
      FormatText(GetText(kSection, "CHANGE_KIND_QUESTION"),
                 {tabs_->tabText(planTab_).toStdString(), tabs_->tabText(tab).toStdString()});
  CDlgSureMessage sure(QString::fromStdString(question), QString(), Text("CHANGE_KIND_OK"),
                       Text("CHANGE_KIND_KEEP"), this);
  if (sure.Ask() == CDlgSureMessage::kOk) {
    confirmedKind_ = kind;  // asked once
    return true;
  }
  SetTab(planTab_);
  return false;
}

bool CWPSelectDest::Busy() const { return busy_ > 0 || probeTimer_->isActive(); }

void CWPSelectDest::ShowTab(int tab) {
  static const char* kHints[6] = {"TAB_HINT_EXTERNAL_HARD_DRIVE", "TAB_HINT_USB_KEY",
                                  "TAB_HINT_NETWORK_DRIVE",       "TAB_HINT_FTP_SERVER",
                                  "TAB_HINT_LOCAL_DRIVE",         "TAB_HINT_OBJECT_STORE"};
  if (tab < 0 || tab > wiz::kTabObject) return;
  tabHint_->setText(Text(kHints[tab]));
  kind_->setText(QString::fromStdString(
      FormatText(GetText(kSection, "PLAN_KIND"), {tabs_->tabText(tab).toStdString()})));
  panels_->setCurrentIndex(tab == wiz::kTabFtp ? 1 : tab == wiz::kTabObject ? 2 : 0);
  if (tab != wiz::kTabFtp && tab != wiz::kTabObject) FillDrives();
}

void CWPSelectDest::SetTab(int tab) {
  settingTab_ = true;
  tabs_->setCurrentIndex(tab);
  settingTab_ = false;
  ShowTab(tab);
}

void CWPSelectDest::Enter() {
  const std::string& ini = ctx_->ini;
  sources_ = ReadSourceAnswers(ini, ctx_->extensions);
  sourceLetters_ = SourceDriveLetters(sources_);
  others_ = OtherPlanPlaces(PlanList::Instance(), ctx_->newPlan ? 0 : ctx_->planId);
  ShowFindings();
  const std::string stored =
      plat::GetProfileString(ini, wiz::kDestSection, "StoragePath", "", 4095);
  int tab = plat::GetProfileInt(ini, wiz::kDestSection, "ActiveTabNew", -1);
  const bool server = tab == wiz::kTabFtp || tab == wiz::kTabObject;
  const bool answered = !stored.empty() || server;
  if (answered && !edited_) {
    if (!stored.empty() && !server) SetFolderSystem(stored);
  }
  if (endpoint_->text().isEmpty()) {
    const ObjectStoreSettings o = ReadObjectAnswers(ini);
    endpoint_->setText(QString::fromStdString(o.endpoint));
    region_->setText(QString::fromStdString(o.region));
    bucket_->setText(QString::fromStdString(o.bucket));
    prefix_->setText(QString::fromStdString(o.prefix));
    accessKey_->setText(QString::fromStdString(o.accessKey));
    secretKey_->setText(QString::fromStdString(ctx_->objectSecret));
    pathStyle_->setChecked(o.pathStyle != 0);
  }
  const FtpSettings f = ReadFtpAnswers(ini);
  if (server_->text().isEmpty()) {
    server_->setText(QString::fromStdString(f.server));
    port_->setText(QString::number(f.port > 0 ? f.port : f.security == kSftp ? 22 : 21));
    security_->setCurrentIndex(f.security);
    clearWarning_->setVisible(f.security == kFtpPlain);
    root_->setText(QString::fromStdString(f.root));
    user_->setText(QString::fromStdString(f.user));
    password_->setText(QString::fromStdString(f.password));
    passive_->setChecked(f.passive > 0);
    useProxy_->setChecked(!f.proxy.empty());
    proxy_->setText(QString::fromStdString(f.proxy));
    if (f.proxyPort > 0) proxyPort_->setText(QString::number(f.proxyPort));
    retries_->setValue(f.retryCount);
    timeout_->setValue(f.timeout > 0 ? f.timeout : 30);
    proxy_->setEnabled(useProxy_->isChecked());
    proxyPort_->setEnabled(useProxy_->isChecked());
  }
  if (tab < 0 || tab > wiz::kTabObject) tab = wiz::kTabLocal;
  if (planTab_ < 0 && !ctx_->newPlan) planTab_ = tab;
  SetTab(tab);

  // Drives (and, for a new plan without an answer, the type's defaults).
  const bool wantDefaults = ctx_->newPlan && !answered && !edited_;
  ++busy_;
  const std::string iniPath = ini;
  ctx_->worker->Run([wantDefaults, iniPath, page = this]() -> std::function<void()> {
    std::vector<Drive> drives;
    for (const plat::VolumeInfo& v : plat::VolumeTable::Instance().Volumes()) {
      Drive d;
      d.letter = v.letter;
      d.type = static_cast<int>(v.type);
      d.usbBus = v.bus == plat::BusType::kUsb || v.bus == plat::BusType::kIeee1394;
      d.native = NativeOf(std::string(1, v.letter) + ":\\");
      if (d.native.isEmpty()) d.native = QString::fromStdString(v.root);
      drives.push_back(d);
    }
    WizardDefaults defaults;
    defaults = ComputeWizardDefaults(iniPath, PlanList::Instance());
    return [page, drives = std::move(drives), defaults, wantDefaults] {
      --page->busy_;
      page->drives_ = drives;
      WizardContext* ctx = page->ctx_;
      ctx->haveDefaults = true;
      ctx->defaultsType = defaults.planType;
      ctx->defaults = defaults.record;
      page->folderName_ = defaults.record.backupFolderName;
      // Defaults never override what the user chose meanwhile.
      if (wantDefaults && defaults.found && !page->edited_ && !page->tabChosen_) {
        page->SetFolderSystem(defaults.folder);
        page->SetTab(defaults.tab);
      }
      page->ShowTab(page->tabs_->currentIndex());
    };
  });
}

bool CWPSelectDest::Check() {
  if (!KindChangeConfirmed()) return false;
  const int tab = tabs_->currentIndex();
  if (tab == wiz::kTabObject && NextHeld()) {
    WizMessage(kSection, "OBJECT_FOLDER_REFUSED");
    return false;
  }
  if (tab == wiz::kTabObject) return CheckObjectStore();
  if (tab == wiz::kTabFtp) return CheckServer();
  return CheckDiskFolder(tab);
}

void CWPSelectDest::Store() {
  const std::string& ini = ctx_->ini;
  const int tab = tabs_->currentIndex();
  plat::WriteProfileInt(ini, wiz::kDestSection, "ActiveTabNew", tab);
  plat::WriteProfileInt(ini, wiz::kDestSection, "StorageType", StorageTypeOfTab(tab));
  // The FTP fields are kept whatever the tab, so a return to it finds them.
  FtpSettings f = ServerFields();
  // A trusted server key stays with the server it was trusted for.
  const FtpSettings before = ReadFtpAnswers(ini);
  if (before.server == plat::ToLower(f.server) && before.port == f.port)
    f.pinnedKey = before.pinnedKey;
  WriteFtpAnswers(ini, f);
  const ObjectStoreSettings o = ObjectFields();
  WriteObjectAnswers(ini, o);
  ctx_->objectSecret = o.secretKey;
  if (tab == wiz::kTabObject) {
    const std::string path = ReadableObjectStore(ReadObjectAnswers(ini));
    plat::WriteProfileString(ini, wiz::kDestSection, "StoragePath", path.c_str());
    plat::WriteProfileString(ini, wiz::kDestSection, "SelectedDrive", "");
    return;
  }
  if (tab == wiz::kTabFtp) {
    const FtpSettings normal = ReadFtpAnswers(ini);
    const std::string path = FtpStorePath(normal);
    plat::WriteProfileString(ini, wiz::kDestSection, "StoragePath", path.c_str());
    plat::WriteProfileString(ini, wiz::kDestSection, "SelectedDrive", "");
    return;
  }
  std::string sys;
  if (CheckDestinationFolder(tab, folderEdit_->text().toStdString(), &sys) == DestCheck::kOk ||
      (!Trimmed(folderEdit_).empty() && plat::ToSystemPath(Trimmed(folderEdit_), &sys))) {
    while (sys.size() > 3 && sys.back() == '\\') sys.pop_back();
    plat::WriteProfileString(ini, wiz::kDestSection, "StoragePath", sys.c_str());
    const std::string drive = sys.size() > 1 && sys[1] == ':' ? sys.substr(0, 1) : "";
    plat::WriteProfileString(ini, wiz::kDestSection, "SelectedDrive", drive.c_str());
  }
}
