// One plan in the main view's list: its name (renamed in place), status with
// icon and colour, destination, schedule, next and last backup, the files
// waiting, the buttons that act on the plan (restore among them) and the
// option row. The cell
// holds no reference to the plan, only its identifier; the view fills it
// from snapshots and acts on its signals.
#pragma once
#include <QColor>
#include <QFrame>
#include <QString>
#include <cstdint>

class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class QTimer;
class CStatusIcon;

// Everything a cell shows, texts ready.
struct CellContent {
  QString name;
  QString statusText;
  QColor statusColour;
  QString statusKind;  // "warning", "stopped" or "running" (style sheet property)
  QString iconName;    // image of "Icons"
  bool animated = false;
  QString destination;
  QString destinationTip;
  QString space;  // free space of the destination; empty when not known
  QString schedule;
  QString nextBackup;
  QString lastBackup;
  QString pending;
  QString notProtected;      // files the plan cannot protect; empty: none
  bool showLaunch = false;   // the toggle launches (plan stopped) rather than pauses
  bool canBackUpNow = true;  // false for continuous plans
  // Its server was not used (key not trusted, encryption refused): the card
  // offers to check the server, where its key can be accepted.
  bool checkServer = false;
  // How long and how many versions stay, the room the revisions take and
  // how many went to make room; empty: not said.
  QString versions;
  // The store's disk is full and the plan keeps its old versions: the card
  // offers to remove the oldest ones.
  bool offerMakeRoom = false;

  bool operator==(const CellContent&) const = default;
};

class CPlanCell : public QFrame {
  Q_OBJECT
 public:
  explicit CPlanCell(uint32_t id, QWidget* parent = nullptr);
  ~CPlanCell() override;

  uint32_t Id() const { return id_; }
  void SetContent(const CellContent& content);
  const CellContent& Content() const { return content_; }

  void SetOptionsOpen(bool open);
  bool OptionsOpen() const { return optionsOpen_; }
  // Turns the name into an edit field; Enter stores, Escape cancels.
  void StartRename();
  bool IsRenaming() const;

  // Stops every cell's status animation on its first frame (screenshots).
  static void SetAnimationsEnabled(bool enabled);

  QToolButton* BackupNowButton() const { return backupNow_; }
  QToolButton* PauseButton() const { return pause_; }
  QToolButton* DeleteButton() const { return delete_; }
  QToolButton* RenameButton() const { return rename_; }
  QPushButton* MoreButton() const { return more_; }
  QPushButton* EditButton() const { return edit_; }
  QPushButton* RestoreButton() const { return restore_; }
  QPushButton* ArchiveButton() const { return archive_; }
  QPushButton* CheckServerButton() const { return checkServer_; }
  QPushButton* MakeRoomButton() const { return makeRoom_; }
  QLabel* VersionsLabel() const { return versions_; }
  QLineEdit* NameEdit() const { return nameEdit_; }

 signals:
  void backupNowClicked(uint32_t id);
  void pauseLaunchClicked(uint32_t id);
  void deleteClicked(uint32_t id);
  void editClicked(uint32_t id);
  void restoreClicked(uint32_t id);
  void archiveClicked(uint32_t id);
  void checkServerClicked(uint32_t id);
  void makeRoomClicked(uint32_t id);
  void renameRequested(uint32_t id, const QString& name);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FinishRename(bool store);

  uint32_t id_;
  CellContent content_;
  bool applied_ = false;  // content_ is on the widgets
  bool optionsOpen_ = false;
  bool renaming_ = false;
  CStatusIcon* icon_;
  QLabel* name_;
  QLineEdit* nameEdit_;
  QToolButton* rename_;
  QLabel* status_;
  QLabel* destination_;
  QLabel* space_;
  QLabel* schedule_;
  QLabel* next_;
  QLabel* last_;
  QLabel* pending_;
  QLabel* notProtected_;
  QPushButton* checkServer_;
  QPushButton* makeRoom_;
  QLabel* versions_;
  QToolButton* backupNow_;
  QToolButton* pause_;
  QToolButton* delete_;
  QPushButton* more_;
  QWidget* optionRow_;
  QPushButton* edit_;
  QPushButton* restore_;
  QPushButton* archive_;
};
