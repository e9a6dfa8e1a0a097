// The wizard's folder tree: the home folder and the whole computer with its
// volumes, folders to tick. Shows native paths; keeps system paths. Children
// are listed on the wizard's worker when a folder opens. Resting the mouse
// on a folder shows a tool tip with its running tally (files and bytes,
// counted by a CTallyProcess on its own thread).
#pragma once
#include <QTimer>
#include <QTreeWidget>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CTallyProcess;
class CWizardWorker;

// The worker's results come back to the tree: the worker must be gone (or
// idle) before the tree is (the wizard makes it before its pages, so it is
// destroyed first).
class CFileTreeCtrl : public QTreeWidget {
  Q_OBJECT
 public:
  CFileTreeCtrl(CWizardWorker* worker, QWidget* parent = nullptr);
  ~CFileTreeCtrl() override;

  // Lists the top entries (on the worker) and reveals the ticked folders.
  void Populate();
  // The ticked folders (system paths, or the "My Computer" entry), topmost only.
  void SetChecked(const std::vector<std::string>& folders);
  const std::vector<std::string>& Checked() const { return checked_; }
  // Folders shown half ticked: they hold ticked folders below them.
  std::vector<std::string> ParentFolders() const;
  // Ticks or unticks a folder as a click on its box does.
  void SetItemChecked(QTreeWidgetItem* item, bool on);

  QTreeWidgetItem* FindItem(const std::string& systemPath) const;
  static std::string PathOf(const QTreeWidgetItem* item);
  // Opens the folders down to the path, listing them as needed.
  void Reveal(const std::string& systemPath);
  bool Loading() const { return loading_ > 0; }

  // Starts the tally of a folder (stopping the previous one) and its tip text.
  void StartTally(const std::string& systemPath);
  QString TallyText() const;
  bool TallyRunning() const;

  // Folder a contains folder b (or is it); "My Computer" contains every path.
  static bool Contains(const std::string& a, const std::string& b);

 signals:
  void checkedChanged();

 protected:
  bool viewportEvent(QEvent* event) override;

 private:
  QTreeWidgetItem* AddItem(QTreeWidgetItem* parent, const QString& text, const std::string& path,
                           bool canHaveChildren);
  void LoadChildren(QTreeWidgetItem* item);
  void OnItemChanged(QTreeWidgetItem* item, int column);
  void RefreshStates();
  void ExpandTowardTargets(QTreeWidgetItem* item);
  void StopTally();

  CWizardWorker* worker_;
  std::vector<std::string> checked_;
  std::vector<std::string> reveal_;  // folders to open once listed
  std::map<int, QTreeWidgetItem*> items_;
  int nextId_ = 1;
  int loading_ = 0;
  bool refreshing_ = false;
  std::unique_ptr<CTallyProcess> tally_;
  std::string tallyPath_;
  QTimer tipTimer_;
  QPoint tipPos_;
};
