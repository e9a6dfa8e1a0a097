// Wizard page 3: where the copies go. Six tabs (external hard drive, USB
// key, network drive, FTP server, local drive, cloud / object storage); the
// disk tabs offer the drives of their kind and a folder (typed or browsed as
// a native path), the FTP tab the server's fields, the object storage tab
// the bucket's (its secret key stays in the wizard's context, never in the
// answers). Drives, free space and default folders are
// read on the wizard's worker.
#pragma once
#include <QElapsedTimer>
#include <vector>

#include "ui/wizard/CWizardPage.h"
#include "ui/wizard/WizardAnswers.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QStackedWidget;
class QTabBar;
class QTimer;

class CWPSelectDest : public CWizardPage {
  Q_OBJECT
 public:
  CWPSelectDest(WizardContext* context, QWidget* parent);
  QString Title() const override;
  void Enter() override;
  bool Check() override;
  void Store() override;
  // The object storage folder tested last is one a plan cannot use.
  bool NextHeld() const override;
  QString NextHeldWhy() const override;

  QTabBar* Tabs() const { return tabs_; }
  QComboBox* Drives() const { return driveCombo_; }
  QLineEdit* Folder() const { return folderEdit_; }
  QLabel* Space() const { return spaceLabel_; }
  // Shown while the folder lies on a disk that holds sources.
  QLabel* SameDisk() const { return sameDisk_; }
  // What the folder's check found (a path too long, a folder that cannot be
  // written, a store inside a protected folder); hidden when nothing.
  QLabel* Findings() const { return findings_; }
  // The kind of plan the tab shown makes.
  QLabel* Kind() const { return kind_; }
  // True while drives, defaults or the folder's probe are pending.
  bool Busy() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  struct Drive {
    char letter = 0;
    int type = 0;  // plat::DriveType
    bool usbBus = false;
    QString native;
  };
  void ShowTab(int tab);
  // Shows a tab the page chose (not the user).
  void SetTab(int tab);
  void FillDrives();
  void DriveChosen(int index);
  void MeasureSpace(char letter);
  void SetFolderSystem(const std::string& systemPath);
  bool DriveFitsTab(const Drive& drive, int tab) const;
  void ShowFindings();
  void ShowFindingsText(const DestFindings& findings);
  void ProbeFolder();
  // The port and server follow the security chosen (22 for SFTP, 21 for FTP).
  void SecurityChosen(int security);
  // A changed plan whose tab now makes another kind of plan: true once the
  // user confirmed the change; otherwise its own tab is shown again.
  bool KindChangeConfirmed();
  // The server fields as settings (an SFTP server with its "sftp://").
  FtpSettings ServerFields() const;
  // The object storage fields as settings, the secret key included.
  ObjectStoreSettings ObjectFields() const;
  std::string PlaceTyped() const;
  // The panels of the disk tabs, the server tab and the object storage tab,
  // and the checks of what each holds (false: a message said why not).
  QWidget* MakeDiskPanel();
  QWidget* MakeServerPanel();
  QWidget* MakeObjectPanel();
  bool CheckDiskFolder(int tab);
  bool CheckServer();
  bool CheckObjectStore();

  QTabBar* tabs_;
  QStackedWidget* panels_;
  QLabel* tabHint_;
  QComboBox* driveCombo_;
  QLabel* spaceLabel_;
  QLineEdit* folderEdit_;
  QLabel* sameDisk_;
  QLabel* findings_;
  QLabel* kind_;
  QTimer* probeTimer_;
  // The security choice (FtpSecurity order) and the warning shown with FTP
  // in clear.
  QComboBox* security_;
  QLabel* clearWarning_;
  QLineEdit* server_;
  QLineEdit* port_;
  QLineEdit* root_;
  QLineEdit* user_;
  QLineEdit* password_;
  QCheckBox* passive_;
  QCheckBox* useProxy_;
  QLineEdit* proxy_;
  QLineEdit* proxyPort_;
  QSpinBox* retries_;
  QSpinBox* timeout_;
  // The object storage tab.
  QLineEdit* endpoint_;
  QLineEdit* region_;
  QLineEdit* bucket_;
  QLineEdit* prefix_;
  QLineEdit* accessKey_;
  QLineEdit* secretKey_;
  QCheckBox* pathStyle_;

  std::vector<Drive> drives_;
  std::string folderName_;     // default backup folder name of the plan type
  SourceAnswers sources_;      // what the plan protects
  std::string serverLoop_;     // where the last connection test found the store around sources_
  std::string serverLoopOf_;   // the store and user that test was for
  std::string sourceLetters_;  // drives the chosen sources lie on
  std::vector<OtherPlanPlace> others_;  // the other plans' stores and folders
  std::string refused_;                 // the object storage folder a test found no plan can use
  std::string probed_;                  // the folder the last probe on the worker was for
  bool probedWritable_ = true;
  bool filling_ = false;     // the combo is being filled: no choice yet
  bool edited_ = false;      // the user typed a folder: defaults stay away
  bool tabChosen_ = false;   // the user chose a tab: defaults stay away
  bool settingTab_ = false;  // the page itself is changing the tab
  int busy_ = 0;
  int spaceRequest_ = 0;
  int planTab_ = -1;        // a changed plan's own tab, as the page first showed it
  int confirmedKind_ = -1;  // the other kind of plan the user confirmed
  QElapsedTimer shown_;  // since the page appeared: a click at once was meant for the window below
};
