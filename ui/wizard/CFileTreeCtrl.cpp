#include "ui/wizard/CFileTreeCtrl.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QStyle>
#include <QToolTip>
#include <algorithm>
#include <thread>

#include "common/Texts.h"
#include "plans/CTallyProcess.h"
#include "plans/PlanSources.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/profile/Folders.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/WizardWorker.h"

namespace {

constexpr char kSection[] = "WIZARD_BACKUP_SOURCE";
constexpr int kPathRole = Qt::UserRole;
constexpr int kIdRole = Qt::UserRole + 1;
constexpr int kStateRole = Qt::UserRole + 2;  // 0 not listed, 1 listing, 2 listed
constexpr int kShownRole = Qt::UserRole + 3;  // the check state the tree last set
constexpr int kTipRefreshMs = 250;

QString Text(const char* key) { return QString::fromStdString(GetText(kSection, key)); }

// Sub-folder names of a folder, hidden ones left out, sorted without regard to case.
std::vector<std::string> ListFolders(const std::string& folder) {
  std::vector<std::string> names;
  plat::DirSearch search;
  plat::FindData fd;
  if (search.Open(plat::WithSeparator(folder) + "*", &fd)) {
    do {
      if (fd.name == "." || fd.name == "..") continue;
      if (!(fd.attributes & plat::kAttrDirectory) || (fd.attributes & plat::kAttrHidden)) continue;
      names.push_back(fd.name);
    } while (search.Next(&fd));
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const std::string ua = plat::ToUpper(a), ub = plat::ToUpper(b);
    return ua != ub ? ua < ub : a < b;
  });
  return names;
}

struct TopEntry {
  std::string path;
  std::string native;
};

}  // namespace

CFileTreeCtrl::CFileTreeCtrl(CWizardWorker* worker, QWidget* parent)
    : QTreeWidget(parent), worker_(worker) {
  setObjectName("folderTree");
  setHeaderHidden(true);
  setColumnCount(1);
  setUniformRowHeights(true);
  setMouseTracking(true);
  header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  header()->setStretchLastSection(false);
  connect(this, &QTreeWidget::itemExpanded, this, &CFileTreeCtrl::LoadChildren);
  connect(this, &QTreeWidget::itemChanged, this, &CFileTreeCtrl::OnItemChanged);
  tipTimer_.setInterval(kTipRefreshMs);
  connect(&tipTimer_, &QTimer::timeout, this, [this] {
    if (QToolTip::isVisible() && !tallyPath_.empty())
      QToolTip::showText(tipPos_, TallyText(), viewport());
    if (!TallyRunning()) tipTimer_.stop();
  });
}

CFileTreeCtrl::~CFileTreeCtrl() { StopTally(); }

bool CFileTreeCtrl::Contains(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (a == kMyComputerEntry) return true;
  if (b == kMyComputerEntry) return false;
  if (b.size() < a.size() || b.compare(0, a.size(), a) != 0) return false;
  return b.size() == a.size() || a.back() == '\\' || b[a.size()] == '\\';
}

std::string CFileTreeCtrl::PathOf(const QTreeWidgetItem* item) {
  return item ? item->data(0, kPathRole).toString().toStdString() : std::string();
}

QTreeWidgetItem* CFileTreeCtrl::AddItem(QTreeWidgetItem* parent, const QString& text,
                                        const std::string& path, bool canHaveChildren) {
  auto* item = parent ? new QTreeWidgetItem(parent, {text}) : new QTreeWidgetItem(this, {text});
  const int id = nextId_++;
  items_[id] = item;
  item->setData(0, kPathRole, QString::fromStdString(path));
  item->setData(0, kIdRole, id);
  item->setData(0, kStateRole, canHaveChildren ? 0 : 2);
  Qt::ItemFlags flags = Qt::ItemIsEnabled;
  // A folder list separates its folders with ",", so such names cannot be kept.
  if (path.find(',') == std::string::npos) flags |= Qt::ItemIsUserCheckable;
  item->setFlags(flags);
  item->setCheckState(0, Qt::Unchecked);
  item->setChildIndicatorPolicy(canHaveChildren ? QTreeWidgetItem::ShowIndicator
                                                : QTreeWidgetItem::DontShowIndicator);
  return item;
}

void CFileTreeCtrl::Populate() {
  refreshing_ = true;
  clear();
  items_.clear();
  refreshing_ = false;
  ++loading_;
  CFileTreeCtrl* tree = this;
  worker_->Run([tree]() -> std::function<void()> {
    std::vector<TopEntry> volumes;
    for (const plat::VolumeInfo& v : plat::VolumeTable::Instance().Volumes()) {
      if (v.type != plat::DriveType::kFixed && v.type != plat::DriveType::kRemovable &&
          v.type != plat::DriveType::kRemote)
        continue;
      const std::string path = std::string(1, v.letter) + ":\\";
      std::string native;
      if (!plat::ToNativePath(path, &native)) native = v.root;
      volumes.push_back({path, native});
    }
    TopEntry home;
    home.path = plat::GetShellFolder(plat::ShellFolder::kProfile);
    if (!home.path.empty() && !plat::ToNativePath(home.path, &home.native)) home.path.clear();
    return [volumes, home, tree] {
      --tree->loading_;
      tree->refreshing_ = true;
      QStyle* style = tree->style();
      if (!home.path.empty()) {
        QTreeWidgetItem* h = tree->AddItem(
            nullptr, FormatText(GetText(kSection, "TREE_HOME"), {home.native}).c_str(), home.path,
            true);
        h->setIcon(0, style->standardIcon(QStyle::SP_DirHomeIcon));
      }
      QTreeWidgetItem* computer =
          tree->AddItem(nullptr, Text("TREE_COMPUTER"), kMyComputerEntry, true);
      computer->setIcon(0, style->standardIcon(QStyle::SP_ComputerIcon));
      computer->setData(0, kStateRole, 2);
      for (const TopEntry& v : volumes)
        tree->AddItem(computer, QString::fromStdString(v.native), v.path, true)
            ->setIcon(0, style->standardIcon(QStyle::SP_DriveHDIcon));
      computer->setExpanded(true);
      tree->refreshing_ = false;
      tree->RefreshStates();
      for (int i = 0; i < tree->topLevelItemCount(); ++i)
        tree->ExpandTowardTargets(tree->topLevelItem(i));
    };
  });
}

void CFileTreeCtrl::LoadChildren(QTreeWidgetItem* item) {
  if (item->data(0, kStateRole).toInt() != 0) return;
  refreshing_ = true;
  item->setData(0, kStateRole, 1);
  refreshing_ = false;
  const int id = item->data(0, kIdRole).toInt();
  const std::string path = PathOf(item);
  ++loading_;
  CFileTreeCtrl* tree = this;
  worker_->Run([id, path, tree]() -> std::function<void()> {
    std::vector<std::string> names = ListFolders(path);
    return [id, path, tree, names = std::move(names)] {
      --tree->loading_;
      auto it = tree->items_.find(id);
      if (it == tree->items_.end()) return;
      QTreeWidgetItem* parent = it->second;
      tree->refreshing_ = true;
      for (const std::string& name : names) {
        const std::string child = plat::PathAppend(path, name);
        tree->AddItem(parent, QString::fromStdString(name), child, true)
            ->setIcon(0, tree->style()->standardIcon(QStyle::SP_DirIcon));
      }
      parent->setData(0, kStateRole, 2);
      if (names.empty()) parent->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
      tree->refreshing_ = false;
      tree->RefreshStates();
      tree->ExpandTowardTargets(parent);
    };
  });
}

void CFileTreeCtrl::ExpandTowardTargets(QTreeWidgetItem* item) {
  for (int i = 0; i < item->childCount(); ++i) {
    QTreeWidgetItem* child = item->child(i);
    const std::string path = PathOf(child);
    for (const std::string& target : reveal_) {
      if (path != target && Contains(path, target)) {
        child->setExpanded(true);  // lists it when not listed yet
        if (child->data(0, kStateRole).toInt() == 2) ExpandTowardTargets(child);
        break;
      }
    }
  }
  // Top-level entries lie outside any child list.
  if (item->parent() == nullptr) {
    const std::string path = PathOf(item);
    for (const std::string& target : reveal_)
      if (path != target && Contains(path, target) && path != kMyComputerEntry) {
        item->setExpanded(true);
        break;
      }
  }
}

void CFileTreeCtrl::Reveal(const std::string& systemPath) {
  if (std::find(reveal_.begin(), reveal_.end(), systemPath) == reveal_.end())
    reveal_.push_back(systemPath);
  for (int i = 0; i < topLevelItemCount(); ++i) ExpandTowardTargets(topLevelItem(i));
}

QTreeWidgetItem* CFileTreeCtrl::FindItem(const std::string& systemPath) const {
  for (const auto& [id, item] : items_)
    if (PathOf(item) == systemPath) return item;
  return nullptr;
}

void CFileTreeCtrl::SetChecked(const std::vector<std::string>& folders) {
  checked_.clear();
  for (const std::string& f : folders) {
    if (f.empty()) continue;
    bool covered = false;
    for (const std::string& c : checked_) covered = covered || Contains(c, f);
    if (covered) continue;
    checked_.erase(std::remove_if(checked_.begin(), checked_.end(),
                                  [&](const std::string& c) { return Contains(f, c); }),
                   checked_.end());
    checked_.push_back(f);
  }
  reveal_ = checked_;
  RefreshStates();
  for (int i = 0; i < topLevelItemCount(); ++i) ExpandTowardTargets(topLevelItem(i));
}

std::vector<std::string> CFileTreeCtrl::ParentFolders() const {
  std::vector<std::string> out;
  for (const auto& [id, item] : items_) {
    if (item->checkState(0) != Qt::PartiallyChecked) continue;
    const std::string path = PathOf(item);
    if (std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
  }
  return out;
}

void CFileTreeCtrl::SetItemChecked(QTreeWidgetItem* item, bool on) {
  const std::string path = PathOf(item);
  if (path.empty() || !(item->flags() & Qt::ItemIsUserCheckable)) return;
  if (on) {
    bool covered = false;
    for (const std::string& c : checked_) covered = covered || Contains(c, path);
    if (!covered) {
      checked_.erase(std::remove_if(checked_.begin(), checked_.end(),
                                    [&](const std::string& c) { return Contains(path, c); }),
                     checked_.end());
      checked_.push_back(path);
    }
  } else {
    auto own = std::find(checked_.begin(), checked_.end(), path);
    if (own != checked_.end()) {
      checked_.erase(own);
    } else {
      // Unticked inside a ticked folder: that folder gives way to the
      // siblings on the way down to this one.
      auto holder = std::find_if(checked_.begin(), checked_.end(),
                                 [&](const std::string& c) { return Contains(c, path); });
      if (holder != checked_.end()) {
        const std::string top = *holder;
        std::vector<std::string> siblings;
        bool reached = false;
        for (QTreeWidgetItem* cur = item; cur->parent(); cur = cur->parent()) {
          QTreeWidgetItem* parent = cur->parent();
          for (int i = 0; i < parent->childCount(); ++i)
            if (parent->child(i) != cur) siblings.push_back(PathOf(parent->child(i)));
          if (PathOf(parent) == top) {
            reached = true;
            break;
          }
        }
        if (reached) {
          checked_.erase(std::find(checked_.begin(), checked_.end(), top));
          for (std::string& s : siblings)
            if (s.find(',') == std::string::npos) checked_.push_back(std::move(s));
        }
      } else {
        // A half-ticked folder unticked: everything below goes.
        checked_.erase(std::remove_if(checked_.begin(), checked_.end(),
                                      [&](const std::string& c) { return Contains(path, c); }),
                       checked_.end());
      }
    }
  }
  RefreshStates();
  emit checkedChanged();
}

void CFileTreeCtrl::OnItemChanged(QTreeWidgetItem* item, int column) {
  if (refreshing_ || column != 0) return;
  const Qt::CheckState shown = item->checkState(0);
  // Only a changed box is a click (other data of the item changes too).
  if (shown == static_cast<Qt::CheckState>(item->data(0, kShownRole).toInt())) return;
  // A click on a half-ticked box ticks it whole.
  SetItemChecked(item, shown != Qt::Unchecked);
}

void CFileTreeCtrl::RefreshStates() {
  refreshing_ = true;
  for (const auto& [id, item] : items_) {
    const std::string path = PathOf(item);
    Qt::CheckState state = Qt::Unchecked;
    for (const std::string& c : checked_) {
      if (Contains(c, path)) {
        state = Qt::Checked;
        break;
      }
      if (Contains(path, c)) state = Qt::PartiallyChecked;
    }
    if (item->checkState(0) != state) item->setCheckState(0, state);
    item->setData(0, kShownRole, static_cast<int>(state));
  }
  refreshing_ = false;
}

// ---- tally tool tip ----

void CFileTreeCtrl::StopTally() {
  tipTimer_.stop();
  if (!tally_) return;
  tally_->Stop();
  // The walk ends at its next entry; its thread is joined away from the UI.
  std::thread([old = tally_.release()] { delete old; }).detach();
}

void CFileTreeCtrl::StartTally(const std::string& systemPath) {
  StopTally();
  tallyPath_ = systemPath;
  if (systemPath.empty()) return;
  tally_ = std::make_unique<CTallyProcess>();
  tally_->SetUp(systemPath, nullptr, 0, systemPath == kMyComputerEntry, true);
  if (tally_->Start() != 0) tally_.reset();
  tipTimer_.start();
}

bool CFileTreeCtrl::TallyRunning() const {
  return tally_ && (tally_->IsRunning() || tally_->Running());
}

QString CFileTreeCtrl::TallyText() const {
  if (!tally_) return QString();
  uint64_t bytes = 0, files = 0;
  tally_->Results(&bytes, &files);
  const char* key = TallyRunning() ? "TALLY_COUNTING" : "TALLY_RESULT";
  return QString::fromStdString(
      FormatText(GetText(kSection, key), {std::to_string(files), FormatSize(bytes, "", false)}));
}

bool CFileTreeCtrl::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    QTreeWidgetItem* item = itemAt(help->pos());
    if (item == nullptr) {
      QToolTip::hideText();
      return true;
    }
    const std::string path = PathOf(item);
    if (path != tallyPath_ || !tally_) StartTally(path);
    tipPos_ = help->globalPos();
    QToolTip::showText(tipPos_, TallyText(), viewport());
    return true;
  }
  return QTreeWidget::viewportEvent(event);
}
