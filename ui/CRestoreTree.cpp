#include "ui/CRestoreTree.h"

#include <QDrag>
#include <QHeaderView>
#include <QMimeData>
#include <QStyle>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "platform/Paths.h"
#include "ui/RestoreTexts.h"

namespace {

constexpr int kNodeRole = Qt::UserRole;           // the item's CDirNode*
constexpr int kPopulatedRole = Qt::UserRole + 1;  // children made

Qt::CheckState QtState(int32_t state) {
  switch (state) {
    case kCheckAll:
      return Qt::Checked;
    case kCheckPartial:
      return Qt::PartiallyChecked;
    default:
      return Qt::Unchecked;
  }
}

bool HasVisibleChild(const CDirNode* node) {
  for (const auto& child : node->children)
    if (!child->hidden) return true;
  return false;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The root is the store folder: shown as the user knows it.
std::string DisplayRootName(const std::string& storeFolder) {
  std::string path = storeFolder;
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  std::string native;
  return plat::ToNativePath(path, &native) ? native : storeFolder;
}

}  // namespace

CRestoreTree::CRestoreTree(QWidget* parent) : QTreeWidget(parent) {
  setObjectName("restoreTree");
  setColumnCount(kColumnCount);
  setHeaderLabels(
      {Q(RestoreText("LIST_HEADER_ITEM_NAME")), Q(RestoreText("LIST_HEADER_ITEM_NUMBER")),
       Q(RestoreText("LIST_HEADER_ITEM_SIZE")), Q(RestoreText("LIST_HEADER_ITEM_DATE"))});
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setDragDropMode(QAbstractItemView::DragOnly);
  setDragEnabled(false);
  setAlternatingRowColors(true);
  // Fixed widths from sample texts: sizing the columns to their contents
  // would measure every row again each time a search opens thousands.
  QHeaderView* head = header();
  head->setStretchLastSection(false);
  head->setSectionResizeMode(kName, QHeaderView::Stretch);
  const QFontMetrics metrics(font());
  const int pad = metrics.horizontalAdvance(QStringLiteral("MMM"));
  const QString samples[] = {Q(NodeCountText(99999)), Q(NodeSizeText(999ull << 30)),
                             Q(FormatNodeDate(NodeTime{2000, 12, 0, 28, 23, 59, 0, 0}, "US"))};
  for (int c : {kFiles, kSize, kDate}) {
    head->setSectionResizeMode(c, QHeaderView::Interactive);
    const int text = std::max(metrics.horizontalAdvance(samples[c - 1]),
                              metrics.horizontalAdvance(headerItem()->text(c)));
    head->resizeSection(c, text + pad);
  }
  headerItem()->setTextAlignment(kFiles, Qt::AlignRight | Qt::AlignVCenter);
  headerItem()->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
  connect(this, &QTreeWidget::itemExpanded, this, &CRestoreTree::Populate);
  connect(this, &QTreeWidget::itemChanged, this, &CRestoreTree::OnItemChanged);
}

void CRestoreTree::SetDragFromStore(bool enabled) {
  dragFromStore_ = enabled;
  setDragEnabled(enabled);
}

void CRestoreTree::ClearTree() {
  updating_ = true;
  clear();
  items_.clear();
  root_ = nullptr;
  updating_ = false;
}

void CRestoreTree::ShowRoot(CDirNode* root) {
  ClearTree();
  root_ = root;
  if (root != nullptr && !root->hidden) MakeItem(root, nullptr);
}

void CRestoreTree::ShowRootOpened(CDirNode* root) {
  ShowRoot(root);
  if (QTreeWidgetItem* item = ItemOf(root)) item->setExpanded(true);
}

QTreeWidgetItem* CRestoreTree::MakeItem(CDirNode* node, QTreeWidgetItem* parent) {
  auto* item = new QTreeWidgetItem;
  item->setData(kName, kNodeRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(node)));
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
  if (!node->isFolder) flags |= Qt::ItemIsDragEnabled;
  item->setFlags(flags);
  item->setIcon(kName,
                style()->standardIcon(node->isFolder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
  item->setTextAlignment(kFiles, Qt::AlignRight | Qt::AlignVCenter);
  item->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
  const bool wasUpdating = updating_;
  updating_ = true;
  FillItem(item, node);
  if (parent != nullptr)
    parent->addChild(item);
  else
    addTopLevelItem(item);
  updating_ = wasUpdating;
  items_[node] = item;
  return item;
}

void CRestoreTree::FillItem(QTreeWidgetItem* item, const CDirNode* node) {
  item->setText(kName, Q(node->parent == nullptr ? DisplayRootName(node->name) : node->name));
  // A file's row needs no count of one.
  item->setText(kFiles, node->isFolder ? Q(NodeCountText(node->fileCount)) : QString());
  item->setText(kSize, Q(NodeSizeText(node->size)));
  item->setText(kDate, Q(FormatNodeDate(node->time, country_)));
  item->setCheckState(kName, QtState(node->checkState));
  item->setChildIndicatorPolicy(node->isFolder && HasVisibleChild(node)
                                    ? QTreeWidgetItem::ShowIndicator
                                    : QTreeWidgetItem::DontShowIndicator);
}

void CRestoreTree::RefreshItems() {
  updating_ = true;
  for (const auto& [node, item] : items_) FillItem(item, node);
  updating_ = false;
}

void CRestoreTree::Populate(QTreeWidgetItem* item) {
  if (item == nullptr || item->data(kName, kPopulatedRole).toBool()) return;
  CDirNode* node = NodeOf(item);
  if (node == nullptr) return;
  item->setData(kName, kPopulatedRole, true);
  for (const auto& child : node->children) {
    if (child->hidden) continue;
    // A new item under a parent that is not partly checked follows it.
    if (node->checkState != kCheckPartial && child->checkState != node->checkState)
      SetCheckState(child.get(), node->checkState);
    MakeItem(child.get(), item);
  }
}

QTreeWidgetItem* CRestoreTree::RevealNode(CDirNode* node) {
  if (node == nullptr || node->hidden || root_ == nullptr) return nullptr;
  std::vector<CDirNode*> chain;  // node up to the root
  for (CDirNode* n = node; n != nullptr; n = n->parent) {
    if (n->hidden) return nullptr;
    chain.push_back(n);
  }
  if (chain.back() != root_) return nullptr;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    QTreeWidgetItem* item = ItemOf(*it);
    if (item == nullptr) return nullptr;
    if (*it != node) {
      Populate(item);
      item->setExpanded(true);
    }
  }
  return ItemOf(node);
}

void CRestoreTree::SetNodeCheck(CDirNode* node, int32_t state) {
  if (node == nullptr) return;
  SetCheckState(node, state == kCheckAll ? kCheckAll : kCheckNone);
  updating_ = true;
  for (const auto& [n, item] : items_) item->setCheckState(kName, QtState(n->checkState));
  updating_ = false;
}

void CRestoreTree::OnItemChanged(QTreeWidgetItem* item, int column) {
  if (updating_ || column != kName) return;
  CDirNode* node = NodeOf(item);
  if (node == nullptr) return;
  // A click on a partly checked box ticks it.
  const int32_t wanted = item->checkState(kName) == Qt::Unchecked ? kCheckNone : kCheckAll;
  if (wanted == node->checkState) return;
  SetNodeCheck(node, wanted);
  emit checksChanged();
}

QTreeWidgetItem* CRestoreTree::ItemOf(const CDirNode* node) const {
  auto it = items_.find(node);
  return it == items_.end() ? nullptr : it->second;
}

CDirNode* CRestoreTree::NodeOf(const QTreeWidgetItem* item) {
  if (item == nullptr) return nullptr;
  return reinterpret_cast<CDirNode*>(item->data(kName, kNodeRole).value<quintptr>());
}

QMimeData* CRestoreTree::DragData(const QList<QTreeWidgetItem*>& items) const {
  if (!dragFromStore_) return nullptr;
  QList<QUrl> urls;
  for (const QTreeWidgetItem* item : items) {
    const CDirNode* node = NodeOf(item);
    if (node == nullptr || node->isFolder) continue;
    std::string native;
    if (plat::ToNativePath(node->path, &native)) urls.push_back(QUrl::fromLocalFile(Q(native)));
  }
  if (urls.isEmpty()) return nullptr;
  auto* data = new QMimeData;
  data->setUrls(urls);
  return data;
}

QStringList CRestoreTree::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

QMimeData* CRestoreTree::mimeData(const QList<QTreeWidgetItem*>& items) const {
  return DragData(items);
}

void CRestoreTree::startDrag(Qt::DropActions) {
  QMimeData* data = DragData(selectedItems());
  if (data == nullptr) return;
  // Always a copy: the store keeps its files, and the view keeps its items.
  auto* drag = new QDrag(this);
  drag->setMimeData(data);
  drag->exec(Qt::CopyAction, Qt::CopyAction);
}
