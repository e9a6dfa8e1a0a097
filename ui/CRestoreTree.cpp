#include "ui/CRestoreTree.h"

#include <QDrag>
#include <QHeaderView>
#include <QMimeData>
#include <QStyle>
#include <QUrl>
#include <algorithm>

#include "platform/Paths.h"
#include "ui/RestoreTexts.h"

namespace {

constexpr int kKindRole = Qt::UserRole;
constexpr int kFolderRole = Qt::UserRole + 1;     // CVersionFolder*
constexpr int kFileRole = Qt::UserRole + 2;       // VersionFile*
constexpr int kVersionRole = Qt::UserRole + 3;    // index into the file's versions
constexpr int kPopulatedRole = Qt::UserRole + 4;  // children made
constexpr int kOpenAllFiles = 50;                 // a search opens its files up to this many

QString Q(const std::string& s) { return QString::fromStdString(s); }

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

std::string Native(const std::string& systemPath) {
  std::string native;
  return plat::ToNativePath(systemPath, &native) ? native : systemPath;
}

// A row that sorts folders first in either order, names naturally, sizes
// and dates by value, and a file's versions newest first.
class Row : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const QTreeWidget* tree = treeWidget();
    const int column = tree != nullptr ? tree->sortColumn() : 0;
    const bool ascending =
        tree == nullptr || tree->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    const int kind = data(0, kKindRole).toInt(), otherKind = other.data(0, kKindRole).toInt();
    if (kind != otherKind) return (kind < otherKind) == ascending;
    const VersionFile* a = CRestoreTree::FileOf(this);
    const VersionFile* b = CRestoreTree::FileOf(&other);
    if (kind == CRestoreTree::kVersionRow && a != nullptr && b != nullptr) {
      const FileVersion& va = a->versions[CRestoreTree::VersionOf(this)];
      const FileVersion& vb = b->versions[CRestoreTree::VersionOf(&other)];
      if (column == CRestoreTree::kSize && va.size != vb.size) return va.size < vb.size;
      return CRestoreTree::VersionOf(this) < CRestoreTree::VersionOf(&other);  // newest first
    }
    if (a != nullptr && b != nullptr && !a->versions.empty() && !b->versions.empty()) {
      if (column == CRestoreTree::kVersions && a->versions.size() != b->versions.size())
        return a->versions.size() < b->versions.size();
      if (column == CRestoreTree::kSize && a->versions[0].size != b->versions[0].size)
        return a->versions[0].size < b->versions[0].size;
      if (column == CRestoreTree::kDate && a->versions[0].time != b->versions[0].time)
        return a->versions[0].time < b->versions[0].time;
    }
    return NaturalLess(text(0).toStdString(), other.text(0).toStdString());
  }
};

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
  setSortingEnabled(true);
  sortByColumn(kName, Qt::AscendingOrder);
  // Fixed widths from sample texts: sizing the columns to their contents
  // would measure every row again each time a folder opens.
  QHeaderView* head = header();
  head->setStretchLastSection(false);
  head->setSectionResizeMode(kName, QHeaderView::Stretch);
  const QFontMetrics metrics(font());
  const int pad = metrics.horizontalAdvance(QStringLiteral("MMMM"));
  const QString samples[] = {Q(VersionCountText(9999)), Q(NodeSizeText(999ull << 30)),
                             Q(FormatNodeDate(NodeTime{2000, 12, 0, 28, 23, 59, 0, 0}, "US"))};
  for (int c : {kVersions, kSize, kDate}) {
    head->setSectionResizeMode(c, QHeaderView::Interactive);
    const int text = std::max(metrics.horizontalAdvance(samples[c - 1]),
                              metrics.horizontalAdvance(headerItem()->text(c)));
    head->resizeSection(c, text + pad);
  }
  headerItem()->setTextAlignment(kVersions, Qt::AlignRight | Qt::AlignVCenter);
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
  root_ = nullptr;
  updating_ = false;
}

void CRestoreTree::ShowTree(CVersionFolder* root, bool openAll) {
  ClearTree();
  root_ = root;
  if (root == nullptr) return;
  updating_ = true;
  for (auto& folder : root->folders) MakeFolder(folder.get(), nullptr);
  for (VersionFile& file : root->files) MakeFile(root, &file, nullptr);
  updating_ = false;
  if (!openAll) return;
  int files = 0;
  std::vector<QTreeWidgetItem*> rows;
  for (QTreeWidgetItemIterator it(this); *it; ++it) {
    if (KindOf(*it) == kFolderRow) (*it)->setExpanded(true);  // makes its children
    if (KindOf(*it) == kFileRow) rows.push_back(*it), ++files;
  }
  if (files <= kOpenAllFiles)
    for (QTreeWidgetItem* row : rows) row->setExpanded(true);
}

QTreeWidgetItem* CRestoreTree::MakeFolder(CVersionFolder* folder, QTreeWidgetItem* parent) {
  auto* item = new Row;
  item->setData(kName, kKindRole, kFolderRow);
  item->setData(kName, kFolderRole,
                QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(folder)));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setIcon(kName, style()->standardIcon(QStyle::SP_DirIcon));
  item->setText(kName, Q(folder->name));
  if (folder->parent == root_ && !folder->sourcePath.empty())
    item->setToolTip(kName, Q(folder->name));
  item->setCheckState(kName, QtState(FolderCheck(folder)));
  item->setChildIndicatorPolicy(folder->listed && folder->folders.empty() && folder->files.empty()
                                    ? QTreeWidgetItem::DontShowIndicator
                                    : QTreeWidgetItem::ShowIndicator);
  if (parent != nullptr)
    parent->addChild(item);
  else
    addTopLevelItem(item);
  return item;
}

QTreeWidgetItem* CRestoreTree::MakeFile(CVersionFolder* folder, VersionFile* file,
                                        QTreeWidgetItem* parent) {
  auto* item = new Row;
  item->setData(kName, kKindRole, kFileRow);
  item->setData(kName, kFolderRole,
                QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(folder)));
  item->setData(kName, kFileRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(file)));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                 Qt::ItemIsDragEnabled);
  item->setIcon(kName, style()->standardIcon(QStyle::SP_FileIcon));
  item->setText(kName, Q(file->name));
  item->setTextAlignment(kVersions, Qt::AlignRight | Qt::AlignVCenter);
  item->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
  item->setText(kVersions, Q(VersionCountText(file->versions.size())));
  if (!file->versions.empty()) {
    item->setText(kSize, Q(NodeSizeText(file->versions[0].size)));
    item->setText(kDate, Q(FormatNodeDate(ToNodeTime(file->versions[0].time), country_)));
  }
  item->setCheckState(kName, QtState(FileCheck(*file)));
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  if (parent != nullptr)
    parent->addChild(item);
  else
    addTopLevelItem(item);
  return item;
}

void CRestoreTree::Populate(QTreeWidgetItem* item) {
  if (item == nullptr || item->data(kName, kPopulatedRole).toBool()) return;
  const Kind kind = KindOf(item);
  CVersionFolder* folder = FolderOf(item);
  if (folder == nullptr || kind == kVersionRow) return;
  const bool wasUpdating = updating_;
  updating_ = true;
  if (kind == kFolderRow) {
    if (!folder->listed && lister_ && !lister_(folder)) {
      updating_ = wasUpdating;
      return;  // unreadable now; another opening tries again
    }
    item->setData(kName, kPopulatedRole, true);
    for (auto& sub : folder->folders) MakeFolder(sub.get(), item);
    for (VersionFile& file : folder->files) MakeFile(folder, &file, item);
    if (folder->folders.empty() && folder->files.empty())
      item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
  } else {
    item->setData(kName, kPopulatedRole, true);
    VersionFile* file = FileOf(item);
    for (size_t v = 0; v < file->versions.size(); ++v) {
      const FileVersion& version = file->versions[v];
      auto* row = new Row;
      row->setData(kName, kKindRole, kVersionRow);
      row->setData(kName, kFolderRole, item->data(kName, kFolderRole));
      row->setData(kName, kFileRole, item->data(kName, kFileRole));
      row->setData(kName, kVersionRole, static_cast<int>(v));
      row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                    Qt::ItemIsDragEnabled);
      row->setText(kName, Q(VersionRowText(version.current, version.number)));
      row->setToolTip(kName, Q(Native(version.storePath)));
      row->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
      row->setText(kSize, Q(NodeSizeText(version.size)));
      row->setText(kDate, Q(FormatNodeDate(ToNodeTime(version.time), country_)));
      row->setCheckState(kName, file->chosen == static_cast<int>(v) ? Qt::Checked : Qt::Unchecked);
      item->addChild(row);
    }
  }
  updating_ = wasUpdating;
}

void CRestoreTree::FolderListed(const CVersionFolder* folder) {
  QTreeWidgetItem* item = FolderItem(folder);
  if (item == nullptr || !folder->listed) return;
  if (item->isExpanded()) {
    Populate(item);
  } else if (folder->folders.empty() && folder->files.empty()) {
    item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
  }
}

void CRestoreTree::RefreshChecks() {
  updating_ = true;
  for (QTreeWidgetItemIterator it(this); *it; ++it) {
    QTreeWidgetItem* item = *it;
    switch (KindOf(item)) {
      case kFolderRow:
        item->setCheckState(kName, QtState(FolderCheck(FolderOf(item))));
        break;
      case kFileRow:
        item->setCheckState(kName, QtState(FileCheck(*FileOf(item))));
        break;
      case kVersionRow:
        item->setCheckState(kName,
                            FileOf(item)->chosen == VersionOf(item) ? Qt::Checked : Qt::Unchecked);
        break;
    }
  }
  updating_ = false;
}

void CRestoreTree::OnItemChanged(QTreeWidgetItem* item, int column) {
  if (updating_ || column != kName) return;
  const bool on = item->checkState(kName) != Qt::Unchecked;
  CVersionFolder* folder = FolderOf(item);
  if (folder == nullptr) return;
  switch (KindOf(item)) {
    case kFolderRow:
      TickFolder(folder, on);
      break;
    case kFileRow:
      ChooseVersion(folder, FileOf(item), on ? 0 : -1);
      break;
    case kVersionRow:
      ChooseVersion(folder, FileOf(item), on ? VersionOf(item) : -1);
      break;
  }
  RefreshChecks();
  emit checksChanged();
}

QTreeWidgetItem* CRestoreTree::FolderItem(const CVersionFolder* folder) const {
  for (QTreeWidgetItemIterator it(const_cast<CRestoreTree*>(this)); *it; ++it)
    if (KindOf(*it) == kFolderRow && FolderOf(*it) == folder) return *it;
  return nullptr;
}

QTreeWidgetItem* CRestoreTree::FileItem(const CVersionFolder* folder,
                                        const std::string& name) const {
  for (QTreeWidgetItemIterator it(const_cast<CRestoreTree*>(this)); *it; ++it)
    if (KindOf(*it) == kFileRow && FolderOf(*it) == folder && FileOf(*it)->name == name) return *it;
  return nullptr;
}

QTreeWidgetItem* CRestoreTree::OpenPath(const std::vector<std::string>& names) {
  QTreeWidgetItem* at = nullptr;
  for (const std::string& name : names) {
    QTreeWidgetItem* next = nullptr;
    const int count = at != nullptr ? at->childCount() : topLevelItemCount();
    for (int i = 0; i < count && next == nullptr; ++i) {
      QTreeWidgetItem* child = at != nullptr ? at->child(i) : topLevelItem(i);
      if (KindOf(child) == kFolderRow && child->text(kName).toStdString() == name) next = child;
    }
    if (next == nullptr) return nullptr;
    next->setExpanded(true);
    at = next;
  }
  return at;
}

CRestoreTree::Kind CRestoreTree::KindOf(const QTreeWidgetItem* item) {
  return item == nullptr ? kFolderRow : static_cast<Kind>(item->data(kName, kKindRole).toInt());
}

CVersionFolder* CRestoreTree::FolderOf(const QTreeWidgetItem* item) {
  if (item == nullptr) return nullptr;
  return reinterpret_cast<CVersionFolder*>(item->data(kName, kFolderRole).value<quintptr>());
}

VersionFile* CRestoreTree::FileOf(const QTreeWidgetItem* item) {
  if (item == nullptr) return nullptr;
  return reinterpret_cast<VersionFile*>(item->data(kName, kFileRole).value<quintptr>());
}

int CRestoreTree::VersionOf(const QTreeWidgetItem* item) {
  if (item == nullptr || KindOf(item) != kVersionRow) return -1;
  return item->data(kName, kVersionRole).toInt();
}

QMimeData* CRestoreTree::DragData(const QList<QTreeWidgetItem*>& items) const {
  if (!dragFromStore_) return nullptr;
  QList<QUrl> urls;
  for (const QTreeWidgetItem* item : items) {
    const VersionFile* file = FileOf(item);
    if (file == nullptr || file->versions.empty()) continue;
    const int v = std::max(VersionOf(item), 0);
    std::string native;
    if (plat::ToNativePath(file->versions[v].storePath, &native))
      urls.push_back(QUrl::fromLocalFile(Q(native)));
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
  // Always a copy: the store keeps its files, and the view keeps its rows.
  auto* drag = new QDrag(this);
  drag->setMimeData(data);
  drag->exec(Qt::CopyAction, Qt::CopyAction);
}
