#include "ui/restore/CRestoreTree.h"
#include "ui/widgets/NativePath.h"

#include <QDrag>
#include <QHeaderView>
#include <QMimeData>
#include <QStyle>
#include <QUrl>
#include <algorithm>

#include "platform/volumes/Paths.h"
#include "ui/restore/RestoreTexts.h"

namespace {

constexpr int kOpenAllFiles = 50;  // a search opens its files up to this many

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

}  // namespace

// A row knows what it shows. It sorts folders first in either order, sizes
// and dates by value, a file's versions newest first, and names naturally:
// the rows of one folder are made in the natural order of their names, so
// that order is their rank and a sort compares numbers, not texts.
class CRestoreTree::Row : public QTreeWidgetItem {
 public:
  Row(Kind kind, CVersionFolder* folder, VersionFile* file, int version, int rank)
      : kind(kind), folder(folder), file(file), version(version), rank(rank) {}

  const Kind kind;
  CVersionFolder* const folder;  // the folder shown, or the one holding the file
  VersionFile* const file;       // null on folder rows
  const int version;             // index into the file's versions, -1 on other rows
  const int rank;                // place among the rows of its kind in natural order
  bool populated = false;        // its child rows are made
  bool askedSizes = false;       // a file row asked for its versions' sizes once

  // A row's box shows what the model holds when it is drawn: a tick changes
  // the model alone, so ticking a folder of a million files touches no row.
  QVariant data(int column, int role) const override {
    if (column != kName || role != Qt::CheckStateRole || kind == kDayRow)
      return QTreeWidgetItem::data(column, role);
    switch (kind) {
      case kFolderRow:
        return QtState(FolderCheck(folder));
      case kFileRow:
        return QtState(FileCheck(*file));
      default:
        return file->chosen == version ? Qt::Checked : Qt::Unchecked;
    }
  }
  // A box clicked (or set) ticks the model; nothing is kept in the row.
  void setData(int column, int role, const QVariant& value) override {
    if (column != kName || role != Qt::CheckStateRole || kind == kDayRow)
      return QTreeWidgetItem::setData(column, role, value);
    if (auto* tree = qobject_cast<CRestoreTree*>(treeWidget()))
      tree->Tick(this, value.toInt() != Qt::Unchecked);
  }

  bool operator<(const QTreeWidgetItem& otherItem) const override {
    const Row& other = static_cast<const Row&>(otherItem);
    const QTreeWidget* tree = treeWidget();
    const int column = tree != nullptr ? tree->sortColumn() : 0;
    const bool ascending =
        tree == nullptr || tree->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    if (kind != other.kind) return (kind < other.kind) == ascending;
    if (kind == kDayRow) return rank < other.rank;  // newest first
    const VersionFile* a = file;
    const VersionFile* b = other.file;
    if (kind == kVersionRow && a != nullptr && b != nullptr) {
      const FileVersion& va = a->versions[version];
      const FileVersion& vb = b->versions[other.version];
      if (column == kSize && va.size != vb.size) return va.size < vb.size;
      return version < other.version;  // newest first
    }
    if (a != nullptr && b != nullptr && !a->versions.empty() && !b->versions.empty()) {
      if (column == kVersions && a->versions.size() != b->versions.size())
        return a->versions.size() < b->versions.size();
      if (column == kSize && a->versions[0].size != b->versions[0].size)
        return a->versions[0].size < b->versions[0].size;
      if (column == kDate && a->versions[0].time != b->versions[0].time)
        return a->versions[0].time < b->versions[0].time;
    }
    if (folder == other.folder || kind == kFolderRow) return rank < other.rank;
    return NaturalLess(text(0).toStdString(), other.text(0).toStdString());
  }
};

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
  const RowTexts texts = RowTexts::Load();
  const QString samples[][2] = {
      {Q(VersionCountText(9999)), Q(texts.SizeChange(0, 999ull << 20))},
      {Q(NodeSizeText(999ull << 30)), {}},
      {Q(FormatNodeDate(NodeTime{2000, 12, 0, 28, 23, 59, 59, 0})), Q(texts.When(texts.now - 60))}};
  for (int c : {kVersions, kSize, kDate}) {
    head->setSectionResizeMode(c, QHeaderView::Interactive);
    const int text = std::max({metrics.horizontalAdvance(samples[c - 1][0]),
                               metrics.horizontalAdvance(samples[c - 1][1]),
                               metrics.horizontalAdvance(headerItem()->text(c))});
    head->resizeSection(c, text + pad);
  }
  headerItem()->setTextAlignment(kVersions, Qt::AlignRight | Qt::AlignVCenter);
  headerItem()->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
  folderIcon_ = style()->standardIcon(QStyle::SP_DirIcon);
  fileIcon_ = style()->standardIcon(QStyle::SP_FileIcon);
  connect(this, &QTreeWidget::itemExpanded, this, &CRestoreTree::Populate);
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
  texts_ = RowTexts::Load(now_);
  updating_ = true;
  const QList<QTreeWidgetItem*> top = MakeRows(root);
  // Opening all: every folder's rows are made before the rows go into the
  // tree, so they go in at once instead of one folder at a time.
  std::vector<QTreeWidgetItem*> folders, files;
  std::vector<QTreeWidgetItem*> stack(top.rbegin(), top.rend());
  while (openAll && !stack.empty()) {
    QTreeWidgetItem* item = stack.back();
    stack.pop_back();
    if (KindOf(item) == kFileRow) {
      files.push_back(item);
      continue;
    }
    Populate(item);
    folders.push_back(item);
    for (int i = item->childCount() - 1; i >= 0; --i) stack.push_back(item->child(i));
  }
  AddRows(nullptr, top);
  updating_ = false;
  if (!openAll) return;
  // Laid out once, after all are open.
  scheduleDelayedItemsLayout();
  for (QTreeWidgetItem* row : folders) row->setExpanded(true);
  if (files.size() <= kOpenAllFiles)
    for (QTreeWidgetItem* row : files) row->setExpanded(true);  // makes its version rows
}

void CRestoreTree::AddRows(QTreeWidgetItem* parent, const QList<QTreeWidgetItem*>& rows) {
  if (parent != nullptr && parent->treeWidget() == nullptr) {
    parent->addChildren(rows);
    return;
  }
  // A sorted tree takes rows one at a time, each insertion going over every
  // open folder: they go in unsorted, then the tree is sorted once.
  const bool sorting = isSortingEnabled();
  setSortingEnabled(false);
  if (parent != nullptr)
    parent->addChildren(rows);
  else
    addTopLevelItems(rows);
  setSortingEnabled(sorting);
}

QList<QTreeWidgetItem*> CRestoreTree::MakeRows(CVersionFolder* folder) {
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(folder->folders.size() + folder->files.size()));
  int rank = 0;
  for (auto& sub : folder->folders) rows.append(MakeFolder(sub.get(), rank++));
  rank = 0;
  for (VersionFile& file : folder->files) rows.append(MakeFile(folder, &file, rank++));
  return rows;
}

QTreeWidgetItem* CRestoreTree::MakeFolder(CVersionFolder* folder, int rank) {
  auto* item = new Row(kFolderRow, folder, nullptr, -1, rank);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setIcon(kName, folderIcon_);
  item->setText(kName, Q(folder->name));
  if (folder->parent == root_ && !folder->sourcePath.empty())
    item->setToolTip(kName, Q(folder->name));
  item->setChildIndicatorPolicy(folder->listed && folder->folders.empty() && folder->files.empty()
                                    ? QTreeWidgetItem::DontShowIndicator
                                    : QTreeWidgetItem::ShowIndicator);
  return item;
}

QTreeWidgetItem* CRestoreTree::MakeFile(CVersionFolder* folder, VersionFile* file, int rank) {
  auto* item = new Row(kFileRow, folder, file, -1, rank);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                 Qt::ItemIsDragEnabled);
  item->setIcon(kName, fileIcon_);
  item->setText(kName, Q(file->name));
  item->setTextAlignment(kVersions, Qt::AlignRight | Qt::AlignVCenter);
  item->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
  item->setText(kVersions, Q(texts_.VersionCount(file->versions.size())));
  if (!file->versions.empty() && file->versions[0].sized) {
    item->setText(kSize, Q(texts_.Size(file->versions[0].size)));
    item->setText(kDate, Q(texts_.When(file->versions[0].time)));
  }
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}

void CRestoreTree::Populate(QTreeWidgetItem* item) {
  auto* row = dynamic_cast<Row*>(item);
  if (row == nullptr || row->populated || row->kind == kVersionRow) return;
  CVersionFolder* folder = row->folder;
  if (folder == nullptr) return;
  const bool wasUpdating = updating_;
  updating_ = true;
  if (row->kind == kFolderRow) {
    if (!folder->listed && lister_ && !lister_(folder)) {
      updating_ = wasUpdating;
      return;  // unreadable now; another opening tries again
    }
    row->populated = true;
    AddRows(row, MakeRows(folder));
    if (folder->folders.empty() && folder->files.empty())
      row->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
  } else if (row->kind == kFileRow) {
    VersionFile* file = row->file;
    // A listing by names left the sizes and dates out: the folder is listed
    // with them first (once; what it cannot tell stays blank).
    const bool unsized = std::any_of(file->versions.begin(), file->versions.end(),
                                     [](const FileVersion& v) { return !v.sized; });
    if (unsized && !row->askedSizes && lister_) {
      row->askedSizes = true;
      if (!lister_(folder)) {
        updating_ = wasUpdating;
        return;
      }
    }
    row->populated = true;
    const QList<QTreeWidgetItem*> days = MakeHistory(folder, file);
    AddRows(row, days);
    // The history shows whole: every day open.
    for (QTreeWidgetItem* day : days) day->setExpanded(true);
  }
  updating_ = wasUpdating;
}

QList<QTreeWidgetItem*> CRestoreTree::MakeHistory(CVersionFolder* folder, VersionFile* file) {
  QList<QTreeWidgetItem*> days;
  Row* day = nullptr;
  std::string dayText;
  uint64_t onDay = 0;
  auto closeDay = [&] {
    if (day != nullptr) day->setText(kVersions, Q(texts_.VersionCount(onDay)));
  };
  for (size_t v = 0; v < file->versions.size(); ++v) {
    const FileVersion& version = file->versions[v];
    std::string text = texts_.Day(version.time);
    if (day == nullptr || text != dayText) {
      closeDay();
      day = new Row(kDayRow, folder, file, -1, static_cast<int>(days.size()));
      day->setFlags(Qt::ItemIsEnabled);
      day->setText(kName, Q(text));
      day->setTextAlignment(kVersions, Qt::AlignRight | Qt::AlignVCenter);
      day->populated = true;
      days.append(day);
      dayText = std::move(text);
      onDay = 0;
    }
    ++onDay;
    auto* line = new Row(kVersionRow, folder, file, static_cast<int>(v), static_cast<int>(v));
    line->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                   Qt::ItemIsDragEnabled);
    line->setText(kName, Q(texts_.TimeRow(version.current, version.time)));
    line->setToolTip(kName, Q(ReadablePath(version.storePath)));
    line->setTextAlignment(kVersions, Qt::AlignRight | Qt::AlignVCenter);
    line->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
    // Each version against the one before it, so a glance down the column
    // shows where the file grew or shrank.
    if (v + 1 < file->versions.size())
      line->setText(kVersions, Q(texts_.SizeChange(version.size, file->versions[v + 1].size)));
    if (version.sized) {
      line->setText(kSize, Q(texts_.Size(version.size)));
      line->setText(kDate, Q(texts_.When(version.time)));
    }
    day->addChild(line);
  }
  closeDay();
  return days;
}

QList<QTreeWidgetItem*> CRestoreTree::VersionRows(const QTreeWidgetItem* fileItem) {
  QList<QTreeWidgetItem*> rows;
  for (int d = 0; fileItem != nullptr && d < fileItem->childCount(); ++d) {
    const QTreeWidgetItem* day = fileItem->child(d);
    for (int v = 0; v < day->childCount(); ++v) rows.append(day->child(v));
  }
  std::sort(rows.begin(), rows.end(), [](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
    return VersionOf(a) < VersionOf(b);
  });
  return rows;
}

void CRestoreTree::FolderListed(const CVersionFolder* folder) {
  QTreeWidgetItem* item = FolderItem(folder);
  if (item == nullptr || !folder->listed) return;
  if (item->isExpanded()) {
    Populate(item);
  } else if (folder->folders.empty() && folder->files.empty()) {
    item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
  }
  // Sizes and dates arrived: the file rows show them, open ones their versions.
  const bool wasUpdating = updating_;
  updating_ = true;
  for (int i = 0; i < item->childCount(); ++i) {
    auto* row = dynamic_cast<Row*>(item->child(i));
    if (row == nullptr || row->kind != kFileRow || row->file->versions.empty()) continue;
    const FileVersion& newest = row->file->versions[0];
    if (newest.sized) {
      row->setText(kSize, Q(texts_.Size(newest.size)));
      row->setText(kDate, Q(texts_.When(newest.time)));
    }
    if (row->isExpanded() && !row->populated) Populate(row);
  }
  updating_ = wasUpdating;
}

void CRestoreTree::Tick(Row* row, bool on) {
  if (updating_) return;
  switch (row->kind) {
    case kFolderRow:
      TickFolder(row->folder, on);
      break;
    case kFileRow:
      ChooseVersion(row->folder, row->file, on ? 0 : -1);
      break;
    case kVersionRow:
      ChooseVersion(row->folder, row->file, on ? row->version : -1);
      break;
    case kDayRow:
      return;
  }
  // The rows on screen are drawn again from the model; the others when shown.
  viewport()->update();
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
  const auto* row = dynamic_cast<const Row*>(item);
  return row == nullptr ? kFolderRow : row->kind;
}

CVersionFolder* CRestoreTree::FolderOf(const QTreeWidgetItem* item) {
  const auto* row = dynamic_cast<const Row*>(item);
  return row == nullptr ? nullptr : row->folder;
}

VersionFile* CRestoreTree::FileOf(const QTreeWidgetItem* item) {
  const auto* row = dynamic_cast<const Row*>(item);
  return row == nullptr ? nullptr : row->file;
}

int CRestoreTree::VersionOf(const QTreeWidgetItem* item) {
  const auto* row = dynamic_cast<const Row*>(item);
  return row == nullptr ? -1 : row->version;
}

QMimeData* CRestoreTree::DragData(const QList<QTreeWidgetItem*>& items) const {
  if (!dragFromStore_) return nullptr;
  QList<QUrl> urls;
  for (const QTreeWidgetItem* item : items) {
    const VersionFile* file = FileOf(item);
    if (file == nullptr || file->versions.empty() || KindOf(item) == kDayRow) continue;
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
