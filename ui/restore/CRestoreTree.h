// The restore window's tree: the protected folders as the user knows them,
// each file once, its history below it when it is opened: its versions
// grouped by day ("Today", "Yesterday", then the long local date), each to
// the second with its size and how that differs from the version before.
// Four columns (name, versions, size, date), sortable, folders always first,
// names in natural order. Each row but a day's has a check box: a folder
// brings back the newest version of every file below it, a file its newest
// version, a version row exactly that version (one per file). Rows are made
// lazily: a folder's rows when it is opened, after the lister has listed it.
//
// The tree never owns the folders: the window keeps the shown tree alive
// while rows exist and changes it only through this class or while no rows
// are shown.
#pragma once
#include <QIcon>
#include <QTreeWidget>
#include <cstdint>
#include <functional>
#include <string>

#include "history/VersionTree.h"
#include "ui/restore/RestoreTexts.h"

class QMimeData;

class CRestoreTree : public QTreeWidget {
  Q_OBJECT
 public:
  enum Column { kName = 0, kVersions, kSize, kDate, kColumnCount };
  enum Kind { kFolderRow = 1, kFileRow, kVersionRow, kDayRow };

  explicit CRestoreTree(QWidget* parent = nullptr);

  // Asked for a folder that is not listed yet when its row opens: true when
  // it is listed now; false when the listing comes later (FolderListed) or
  // cannot be had.
  void SetLister(std::function<bool(CVersionFolder*)> lister) { lister_ = std::move(lister); }
  // Drags offer the store's files to other programs (local stores only).
  void SetDragFromStore(bool enabled);
  // The time days are named from ("Today"); 0, the default: the clock's.
  void SetNow(int64_t now) { now_ = now; }

  void ClearTree();
  // Shows the protected folders below root (null: nothing). With openAll,
  // every folder (and, when there are few, every file) is opened at once.
  void ShowTree(CVersionFolder* root, bool openAll);
  CVersionFolder* Shown() const { return root_; }
  // The folder has been listed since its row opened: its rows now.
  void FolderListed(const CVersionFolder* folder);

  // Rows: the folder's, the file's (files named within folder), a version's.
  QTreeWidgetItem* FolderItem(const CVersionFolder* folder) const;
  QTreeWidgetItem* FileItem(const CVersionFolder* folder, const std::string& name) const;
  // Opens the folders down to and including the one at this path of names
  // below the shown root ({"/home/ann", "Documents"}); null when missing.
  QTreeWidgetItem* OpenPath(const std::vector<std::string>& names);

  static Kind KindOf(const QTreeWidgetItem* item);
  static CVersionFolder* FolderOf(const QTreeWidgetItem* item);  // the row's folder (or its file's)
  static VersionFile* FileOf(const QTreeWidgetItem* item);
  static int VersionOf(const QTreeWidgetItem* item);  // -1 for other rows
  // A file row's version rows, newest first, below their day rows.
  static QList<QTreeWidgetItem*> VersionRows(const QTreeWidgetItem* fileItem);

  // What a drag of these rows offers: the native paths of their store files
  // (a file row: its newest version) as file URLs; null when nothing can.
  QMimeData* DragData(const QList<QTreeWidgetItem*>& items) const;

 signals:
  // The user changed a check mark.
  void checksChanged();

 protected:
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;
  void startDrag(Qt::DropActions supportedActions) override;

 private:
  class Row;
  // The rows of a listed folder's folders and files, not in the tree yet.
  QList<QTreeWidgetItem*> MakeRows(CVersionFolder* folder);
  QTreeWidgetItem* MakeFolder(CVersionFolder* folder, int rank);
  // Puts rows below parent (null: the top level).
  void AddRows(QTreeWidgetItem* parent, const QList<QTreeWidgetItem*>& rows);
  QTreeWidgetItem* MakeFile(CVersionFolder* folder, VersionFile* file, int rank);
  // A file's history: a row per day, its versions below it.
  QList<QTreeWidgetItem*> MakeHistory(CVersionFolder* folder, VersionFile* file);
  void Populate(QTreeWidgetItem* item);
  // The user (or a test) set a row's box: the model follows.
  void Tick(Row* row, bool on);

  std::function<bool(CVersionFolder*)> lister_;
  bool dragFromStore_ = false;
  bool updating_ = false;  // rows being filled from the model: no check events
  CVersionFolder* root_ = nullptr;
  int64_t now_ = 0;
  QIcon folderIcon_, fileIcon_;
  RowTexts texts_;  // for the rows of the tree shown
};
