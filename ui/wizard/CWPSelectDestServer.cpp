// The destination page's server tab: the FTP, FTPS or SFTP server's fields,
// the connection test, and the check that the server's store does not lie
// in a protected folder of this machine.
#include "ui/wizard/CWPSelectDest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>

#include "destinations/FtpDevice.h"
#include "plans/RuleSet.h"
#include "platform/base/Text.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/CDlgConnectFtp.h"
#include "ui/wizard/DestPageParts.h"
#include "ui/wizard/WizardAnswers.h"

using dest_parts::kSection;
using dest_parts::MakeEdit;
using dest_parts::NativeOf;
using dest_parts::Text;
using dest_parts::Trimmed;

QWidget* CWPSelectDest::MakeServerPanel() {
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
  return ftp;
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

bool CWPSelectDest::CheckServer() {
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
        ShowAppMessage(FormatText(GetText(kSection, "SERVER_STORE_HOLDS_SOURCES"),
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
