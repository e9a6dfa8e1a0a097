#include "ui/CWPSelectDest.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>

#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "engine/PlanList.h"
#include "plans/RuleSet.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/Volumes.h"
#include "ui/AppMessage.h"
#include "ui/CDlgConnectFtp.h"
#include "ui/CDlgConnectObjectStore.h"
#include "ui/CDlgSureMessage.h"
#include "ui/TextFormat.h"
#include "ui/WizardAnswers.h"
#include "ui/WizardWorker.h"

namespace {

constexpr char kSection[] = "WIZARD_BACKUP_DEST";
// A typed folder is probed once the typing pauses this long.
constexpr int kProbeDelayMs = 300;

QString Text(const char* key) { return WizText(kSection, key); }

// Why a store and another plan's folders cannot nest.
QString NestedPlanText(const DestFindings& f) {
  return QString::fromStdString(FormatText(
      GetText(kSection, f.otherStoreHolds ? "SOURCES_IN_OTHER_STORE" : "STORE_HOLDS_OTHER_PLAN"),
      {f.nestedPlan}));
}

QString NativeOf(const std::string& systemPath) {
  std::string native;
  return plat::ToNativePath(systemPath, &native) ? QString::fromStdString(native) : QString();
}

QLineEdit* MakeEdit(const char* name, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(255);
  return edit;
}

std::string Trimmed(const QLineEdit* edit) { return plat::TrimSpace(edit->text().toStdString()); }

}  // namespace

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

  // Disk tabs.
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
  panels_->addWidget(disk);

  // FTP tab.
  auto* ftp = new QWidget(panels_);
  auto* ftpForm = new QFormLayout(ftp);
  ftpForm->setContentsMargins(0, 4, 0, 0);
  ftpForm->setVerticalSpacing(6);
  security_ = new QComboBox(ftp);
  security_->setObjectName("ftpSecurityCombo");
  for (const char* key : {"FTP_SECURITY_FTPS", "FTP_SECURITY_SFTP", "FTP_SECURITY_PLAIN"})
    security_->addItem(Text(key));
  ftpForm->addRow(Text("FTP_SECURITY"), security_);
  clearWarning_ = new QLabel(Text("FTP_SECURITY_PLAIN_WARNING"), ftp);
  clearWarning_->setObjectName("ftpClearWarning");
  clearWarning_->setWordWrap(true);
  clearWarning_->setVisible(false);
  ftpForm->addRow(QString(), clearWarning_);
  server_ = MakeEdit("ftpServerEdit", ftp);
  port_ = MakeEdit("ftpPortEdit", ftp);
  port_->setValidator(new QIntValidator(1, 65535, port_));
  port_->setMaximumWidth(90);
  auto* serverRow = new QHBoxLayout;
  serverRow->setSpacing(8);
  serverRow->addWidget(server_, 1);
  serverRow->addWidget(new QLabel(Text("FTP_PORT"), ftp));
  serverRow->addWidget(port_);
  ftpForm->addRow(Text("FTP_SERVER"), serverRow);
  root_ = MakeEdit("ftpRootEdit", ftp);
  ftpForm->addRow(Text("FTP_ROOT"), root_);
  user_ = MakeEdit("ftpUserEdit", ftp);
  ftpForm->addRow(Text("FTP_USER"), user_);
  password_ = MakeEdit("ftpPasswordEdit", ftp);
  password_->setEchoMode(QLineEdit::Password);
  ftpForm->addRow(Text("FTP_PASSWORD"), password_);
  // Two options to a row, and the test beside the numbers: the page keeps
  // room for the warning of unencrypted FTP at the wizard's first size.
  passive_ = new QCheckBox(Text("FTP_PASSIVE"), ftp);
  passive_->setObjectName("ftpPassiveCheck");
  useProxy_ = new QCheckBox(Text("FTP_USE_PROXY"), ftp);
  useProxy_->setObjectName("ftpProxyCheck");
  auto* options = new QHBoxLayout;
  options->setSpacing(16);
  options->addWidget(passive_);
  options->addWidget(useProxy_);
  options->addStretch(1);
  ftpForm->addRow(QString(), options);
  proxy_ = MakeEdit("ftpProxyEdit", ftp);
  proxyPort_ = MakeEdit("ftpProxyPortEdit", ftp);
  proxyPort_->setValidator(new QIntValidator(1, 65535, proxyPort_));
  proxyPort_->setMaximumWidth(90);
  auto* proxyRow = new QHBoxLayout;
  proxyRow->setSpacing(8);
  proxyRow->addWidget(proxy_, 1);
  proxyRow->addWidget(new QLabel(Text("FTP_PORT"), ftp));
  proxyRow->addWidget(proxyPort_);
  ftpForm->addRow(Text("FTP_PROXY"), proxyRow);
  retries_ = new QSpinBox(ftp);
  retries_->setObjectName("ftpRetrySpin");
  retries_->setRange(0, 10);
  timeout_ = new QSpinBox(ftp);
  timeout_->setObjectName("ftpTimeoutSpin");
  timeout_->setRange(1, 120);
  auto* numbers = new QHBoxLayout;
  numbers->addWidget(retries_);
  numbers->setSpacing(8);
  numbers->addSpacing(16);
  numbers->addWidget(new QLabel(Text("FTP_TIMEOUT"), ftp));
  numbers->addWidget(timeout_);
  numbers->addStretch(1);
  auto* testFtp = new QPushButton(Text("FTP_TEST_CONNECTION"), ftp);
  testFtp->setObjectName("ftpTestButton");
  numbers->addWidget(testFtp);
  ftpForm->addRow(Text("FTP_RETRY"), numbers);
  connect(testFtp, &QPushButton::clicked, this, [this] {
    Store();  // the answers as Next would keep them
    FtpSettings f = ReadFtpAnswers(ctx_->ini);
    CDlgConnectFtp test(f, this, sources_.folders);
    test.exec();
    serverLoop_ = test.LoopFolder();
    serverLoopOf_ = ReadableFtpStore(f) + '\n' + f.user;
    if (!test.AcceptedKey().empty()) {  // trusted there: kept for the plan's "Devices.ini"
      f.pinnedKey = test.AcceptedKey();
      WriteFtpAnswers(ctx_->ini, f);
    }
  });
  panels_->addWidget(ftp);
  panels_->addWidget(MakeObjectPanel());
  layout->addSpacing(4);

  tabs_->installEventFilter(this);
  connect(tabs_, &QTabBar::currentChanged, this, [this](int tab) {
    if (!settingTab_) tabChosen_ = true;
    ShowTab(tab);
  });
  connect(driveCombo_, &QComboBox::currentIndexChanged, this, &CWPSelectDest::DriveChosen);
  connect(folderEdit_, &QLineEdit::textEdited, this, [this] { edited_ = true; });
  connect(folderEdit_, &QLineEdit::textChanged, this, &CWPSelectDest::ShowFindings);
  connect(security_, &QComboBox::activated, this, &CWPSelectDest::SecurityChosen);
  connect(server_, &QLineEdit::textEdited, this, [this](const QString& text) {
    // "sftp://host" typed: SFTP.
    if (text.trimmed().startsWith(QLatin1String(kSftpScheme), Qt::CaseInsensitive) &&
        security_->currentIndex() != kSftp) {
      security_->setCurrentIndex(kSftp);
      SecurityChosen(kSftp);
    }
  });
  connect(useProxy_, &QCheckBox::toggled, this, [this](bool on) {
    proxy_->setEnabled(on);
    proxyPort_->setEnabled(on);
  });
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString start = folderEdit_->text().isEmpty() ? QString() : folderEdit_->text();
    const QString chosen = QFileDialog::getExistingDirectory(
        this, Text("BROWSE_TITLE"), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    if (chosen.isEmpty()) return;
    folderEdit_->setText(chosen);
    edited_ = true;
  });
}

QWidget* CWPSelectDest::MakeObjectPanel() {
  auto* panel = new QWidget(panels_);
  auto* form = new QFormLayout(panel);
  form->setContentsMargins(0, 4, 0, 0);
  form->setVerticalSpacing(6);
  endpoint_ = MakeEdit("objectEndpointEdit", panel);
  form->addRow(Text("OBJECT_ENDPOINT"), endpoint_);
  region_ = MakeEdit("objectRegionEdit", panel);
  form->addRow(Text("OBJECT_REGION"), region_);
  bucket_ = MakeEdit("objectBucketEdit", panel);
  form->addRow(Text("OBJECT_BUCKET"), bucket_);
  prefix_ = MakeEdit("objectPrefixEdit", panel);
  form->addRow(Text("OBJECT_PREFIX"), prefix_);
  accessKey_ = MakeEdit("objectAccessKeyEdit", panel);
  form->addRow(Text("OBJECT_ACCESS_KEY"), accessKey_);
  secretKey_ = MakeEdit("objectSecretKeyEdit", panel);
  secretKey_->setEchoMode(QLineEdit::Password);
  form->addRow(Text("OBJECT_SECRET_KEY"), secretKey_);
  pathStyle_ = new QCheckBox(Text("OBJECT_PATH_STYLE"), panel);
  pathStyle_->setObjectName("objectPathStyleCheck");
  auto* row = new QHBoxLayout;
  row->addWidget(pathStyle_);
  row->addStretch(1);
  auto* test = new QPushButton(Text("FTP_TEST_CONNECTION"), panel);
  test->setObjectName("objectTestButton");
  row->addWidget(test);
  form->addRow(QString(), row);
  connect(test, &QPushButton::clicked, this, [this] {
    Store();  // the answers as Next would keep them
    CDlgConnectObjectStore dialog(ObjectFields(), this);
    dialog.exec();
    if (!dialog.AcceptedKey().empty()) {  // trusted there: kept for the plan's "Devices.ini"
      ObjectStoreSettings o = ReadObjectAnswers(ctx_->ini);
      o.pinnedKey = dialog.AcceptedKey();
      WriteObjectAnswers(ctx_->ini, o);
    }
  });
  return panel;
}

ObjectStoreSettings CWPSelectDest::ObjectFields() const {
  ObjectStoreSettings s;
  s.endpoint = Trimmed(endpoint_);
  s.region = Trimmed(region_);
  if (s.region.empty()) s.region = "us-east-1";
  s.bucket = Trimmed(bucket_);
  s.prefix = Trimmed(prefix_);
  s.accessKey = Trimmed(accessKey_);
  s.secretKey = plat::TrimSpace(secretKey_->text().toStdString());
  s.pathStyle = pathStyle_->isChecked() ? 1 : 0;
  // A key trusted for the endpoint stays with it.
  const ObjectStoreSettings before = ReadObjectAnswers(ctx_->ini);
  if (plat::ToLower(before.endpoint) == plat::ToLower(s.endpoint)) s.pinnedKey = before.pinnedKey;
  return s;
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

void CWPSelectDest::SecurityChosen(int security) {
  clearWarning_->setVisible(security == kFtpPlain);
  const QString port = port_->text().trimmed();
  if (security == kSftp && (port.isEmpty() || port == "21")) port_->setText("22");
  if (security != kSftp && port == "22") port_->setText("21");
  const QString server = server_->text().trimmed();
  if (security != kSftp && server.startsWith(QLatin1String(kSftpScheme), Qt::CaseInsensitive))
    server_->setText(server.mid(static_cast<int>(std::size(kSftpScheme)) - 1));
}

bool CWPSelectDest::Busy() const { return busy_ > 0 || probeTimer_->isActive(); }

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
  if (tab == wiz::kTabObject) {
    const ObjectStoreSettings o = ObjectFields();
    std::string steps = "/" + o.prefix + "/";
    for (char& c : steps) c = c == '\\' ? '/' : c;
    const char* key = o.endpoint.empty()                           ? "OBJECT_ENDPOINT_IS_EMPTY"
                      : o.bucket.empty()                           ? "OBJECT_BUCKET_IS_EMPTY"
                      : o.accessKey.empty() || o.secretKey.empty() ? "OBJECT_KEYS_ARE_EMPTY"
                      : steps.find("/../") != std::string::npos    ? "OBJECT_PREFIX_CLIMBS"
                                                                   : nullptr;
    if (key) WizMessage(kSection, key);
    return key == nullptr;
  }
  if (tab == wiz::kTabFtp) {
    const char* key = nullptr;
    if (Trimmed(server_).empty())
      key = "FTP_SERVER_ADDRESS_IS_EMPTY";
    else if (Trimmed(port_).empty())
      key = "FTP_PORT_IS_EMPTY";
    else if (Trimmed(user_).empty())
      key = "FTP_USER_NAME_IS_EMPTY";
    else if (useProxy_->isChecked() && Trimmed(proxy_).empty())
      key = "FTP_PROXY_ADDRESS_IS_EMPTY";
    else if (useProxy_->isChecked() && Trimmed(proxyPort_).empty())
      key = "FTP_PROXY_PORT_IS_EMPTY";
    if (key) {
      WizMessage(kSection, key);
      return false;
    }
    // A server that is this machine keeping its copies inside a protected
    // folder: the plan would back up its own copies again and again.
    // The connection test found the store's marker there (the server's own
    // mapping of the login is known to the server only).
    const FtpSettings fields = ServerFields();
    std::vector<std::string> local = LocalFoldersOfServerStore(fields);
    if (!serverLoop_.empty() && serverLoopOf_ == ReadableFtpStore(fields) + '\n' + fields.user)
      local.push_back(serverLoop_);
    for (const std::string& folder : local) {
      const DestFindings f = ExamineDestination(folder, sources_, sourceLetters_, false);
      if (f.holdsSources) {  // the store would take a protected folder for its own
        for (const std::string& source : sources_.folders) {
          if (!StoreHoldsFolder(folder, source)) continue;
          ShowAppMessage(
              FormatText(GetText(kSection, "SERVER_STORE_HOLDS_SOURCES"),
                         {NativeOf(folder).toStdString(), NativeOf(source).toStdString()}),
              QMessageBox::Warning);
          return false;
        }
      }
      if (f.insideSource || f.holdsSources) {
        ShowAppMessage(FormatText(GetText(kSection, "SERVER_STORE_INSIDE_SOURCE"),
                                  {NativeOf(folder).toStdString()}),
                       QMessageBox::Warning);
        return false;
      }
    }
    return true;
  }
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

FtpSettings CWPSelectDest::ServerFields() const {
  FtpSettings f;
  f.security = security_->currentIndex();
  f.server = Trimmed(server_);
  if (f.security == kSftp && plat::ToLower(f.server).rfind(kSftpScheme, 0) != 0)
    f.server = kSftpScheme + f.server;
  f.port = port_->text().toInt();
  f.root = Trimmed(root_);
  f.proxy = useProxy_->isChecked() ? Trimmed(proxy_) : std::string();
  f.proxyPort = useProxy_->isChecked() ? proxyPort_->text().toInt() : 0;
  f.user = Trimmed(user_);
  f.password = password_->text().toStdString();
  f.passive = passive_->isChecked() ? 1 : 0;
  f.retryCount = retries_->value();
  f.timeout = timeout_->value();
  return f;
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
