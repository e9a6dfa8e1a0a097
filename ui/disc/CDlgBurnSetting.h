// The settings window of disc archiving: fills the pending list from the
// store's "Latest" folder, offers the recorders found, shows the disc in the
// chosen one (kind, free and used space, discs needed, speeds), the disc
// name and the options (verify, eject, write speed, erase only). Archive
// erases a rewritable disc that holds data once the user agrees, then runs
// the progress window.
#pragma once
#include <QDialog>
#include <cstdint>
#include <string>
#include <vector>

namespace disc {
class PendingList;
}

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// Opens the window for a plan's store (an FTP plan is refused).
void ShowBurnSettings(QWidget* parent, uint32_t planId);

class CDlgBurnSetting : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMaxNameLength = 16;

  // latestFolder: the store's "Latest" folder (system path).
  explicit CDlgBurnSetting(std::string latestFolder, QWidget* parent = nullptr);
  ~CDlgBurnSetting() override;

  // The default disc name: the prefix text and "day.month.year" (two-digit
  // year), the prefix shortened so that the whole stays within 16 characters.
  static std::string DefaultDiscName(const std::string& prefix, int day, int month, int year);
  // The write speed (kB/s) of a speed label ("8x   (11,080" -> 11080); 0 for none.
  static int SpeedOfLabel(const std::string& label);
  // The speed labels for a media kind (CD, DVD, BD), without the unit.
  static std::vector<std::string> SpeedLabels(int mediaType);

  // Looks at the chosen recorder's disc again and shows it.
  void ShowMedia();

  QComboBox* RecorderBox() const { return recorders_; }
  QLabel* DiscKindLabel() const { return kind_; }
  QLabel* FreeLabel() const { return free_; }
  QLabel* UsedLabel() const { return used_; }
  QLabel* DiscsNeededLabel() const { return needed_; }
  QLabel* ReadSpeedLabel() const { return readSpeed_; }
  QComboBox* WriteSpeedBox() const { return writeSpeed_; }
  QLineEdit* NameEdit() const { return name_; }
  QCheckBox* VerifyBox() const { return verify_; }
  QCheckBox* EjectBox() const { return eject_; }
  QPushButton* MoreButton() const { return more_; }
  QWidget* OptionsPanel() const { return options_; }
  QPushButton* ArchiveButton() const { return archive_; }
  QPushButton* EraseButton() const { return erase_; }
  uint64_t TotalBytes() const { return total_; }
  uint64_t Capacity() const { return capacity_; }

 private:
  void FindRecorders();
  void CountFiles();
  void Counted(disc::PendingList& list);
  void OnArchive();
  void OnErase();
  // Asks and erases when the disc is rewritable and holds data; false when
  // the user said no or erasing did not succeed.
  bool EraseIfNeeded(bool thenArchive);
  std::string Recorder() const;

  std::string latest_;
  uint64_t total_ = 0;
  uint64_t files_ = 0;
  uint64_t capacity_ = 0;
  int mediaType_ = 0;
  bool hasData_ = false;
  bool writable_ = false;
  bool imageFileLocked_ = false;  // a pseudo-drive's image file cannot be written there
  bool engineUp_ = false;
  bool counted_ = false;  // the store's files are counted (Archive waits for it)

  QComboBox* recorders_;
  QLabel* kind_;
  QLabel* size_;
  QLabel* free_;
  QLabel* used_;
  QLabel* needed_;
  QLabel* readSpeed_;
  QComboBox* writeSpeed_;
  QLineEdit* name_;
  QCheckBox* verify_;
  QCheckBox* eject_;
  QPushButton* more_;
  QWidget* options_;
  QPushButton* archive_;
  QPushButton* erase_;
};
