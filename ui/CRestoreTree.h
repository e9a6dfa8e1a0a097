// The restore window's tree with four columns (name, files, size, date) and
// a three-state check box per item. Items are made lazily: the root first,
// the children of a node when it is opened, hidden nodes left out. Each item
// points at its CDirNode; the tree never owns the nodes (the window keeps
// the root alive while items exist).
//
// The nodes are read only while no restore job changes them: the window
// calls in here from the jobs' callbacks (the job waits meanwhile) or while
// no job runs, and disables the tree while a job runs.
#pragma once
#include <QTreeWidget>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "history/RestoreTree.h"

class QMimeData;

class CRestoreTree : public QTreeWidget {
  Q_OBJECT
 public:
  enum Column { kName = 0, kFiles, kSize, kDate, kColumnCount };

  explicit CRestoreTree(QWidget* parent = nullptr);

  // The country of the date column ("Country" of the edition).
  void SetCountry(std::string country) { country_ = std::move(country); }
  // Drags offer the store's files to other programs (local stores only).
  void SetDragFromStore(bool enabled);

  // Deletes every item.
  void ClearTree();
  // Shows the root as the only item, closed; null shows nothing.
  void ShowRoot(CDirNode* root);
  // The root item, opened one level.
  void ShowRootOpened(CDirNode* root);
  // Texts, check marks and child indicators of every item from the nodes.
  void RefreshItems();
  // Makes the node's item (and those of its ancestors) and opens its
  // ancestors so it can be seen; null for a hidden node or a foreign one.
  QTreeWidgetItem* RevealNode(CDirNode* node);
  // Ticks (kCheckAll) or unticks (kCheckNone) a node as a click on its box
  // does: the whole subtree, then the parents.
  void SetNodeCheck(CDirNode* node, int32_t state);

  QTreeWidgetItem* ItemOf(const CDirNode* node) const;
  static CDirNode* NodeOf(const QTreeWidgetItem* item);
  // What a drag of these items offers: the native paths of their store
  // files as file URLs; null when nothing can be offered.
  QMimeData* DragData(const QList<QTreeWidgetItem*>& items) const;

 signals:
  // The user changed a check mark.
  void checksChanged();

 protected:
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;
  void startDrag(Qt::DropActions supportedActions) override;

 private:
  QTreeWidgetItem* MakeItem(CDirNode* node, QTreeWidgetItem* parent);
  void FillItem(QTreeWidgetItem* item, const CDirNode* node);
  // Makes the items of a node's visible children once.
  void Populate(QTreeWidgetItem* item);
  void OnItemChanged(QTreeWidgetItem* item, int column);

  std::string country_ = "US";
  bool dragFromStore_ = false;
  bool updating_ = false;  // items being filled from the nodes: no check events
  CDirNode* root_ = nullptr;
  std::unordered_map<const CDirNode*, QTreeWidgetItem*> items_;
};
