#include "engine/CFileDispatchThread.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "engine/CChangeMonitor.h"
#include "engine/NotProtectedNames.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"

namespace {

// A protected folder and the path under which the monitor reports its files.
struct Alias {
  std::string reported, folder;
};

// path moved from below from to below to; false when path is not below from.
bool MapBelow(const std::string& path, const std::string& from, const std::string& to,
              std::string* out) {
  if (path.size() <= from.size() || path.compare(0, from.size(), from) != 0) return false;
  const bool rooted = from.back() == '\\';
  if (!rooted && path[from.size()] != '\\') return false;
  const std::string_view rest = std::string_view(path).substr(from.size() + (rooted ? 0 : 1));
  *out = to.back() == '\\' ? to : to + '\\';
  out->append(rest);
  return true;
}

}  // namespace

void WatchBeforeWalk(CPlan* plan) {
  auto* list = plan ? dynamic_cast<PlanList*>(plan->Owner()) : nullptr;
  auto* dispatch = list ? dynamic_cast<CFileDispatchThread*>(list->DispatchThread()) : nullptr;
  if (dispatch) dispatch->WatchNow();
}

CFileDispatchThread::CFileDispatchThread(PlanList* list, CChangeMonitor* monitor)
    : list_(list), monitor_(monitor) {}

CFileDispatchThread::~CFileDispatchThread() {
  DisconnectAll();
  Stop();
}

void CFileDispatchThread::OnEvent(CMEvent*, const EventData& event) {
  if (event.code == kEvFileWritten) Enqueue(event.text1);
}

void CFileDispatchThread::Enqueue(std::string_view path) {
  if (path.empty()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    queue_.emplace_back(path);
    signalled_ = true;
  }
  wake_.notify_one();
}

void CFileDispatchThread::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    stopping_ = true;
    queue_.clear();
    signalled_ = true;
  }
  wake_.notify_one();
  looked_.notify_all();
  Join();
}

void CFileDispatchThread::WatchNow() {
  std::unique_lock<std::mutex> lock(lock_);
  if (stopping_ || !IsRunning()) return;
  const uint64_t ticket = ++looksAsked_;
  signalled_ = true;
  wake_.notify_one();
  looked_.wait_for(lock, std::chrono::milliseconds(kLookWaitMs),
                   [&] { return stopping_ || looksDone_ >= ticket; });
}

size_t CFileDispatchThread::QueuedCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

std::vector<std::string> CFileDispatchThread::ProtectedFolders(PlanList& list) {
  std::vector<std::string> out;
  std::lock_guard<std::recursive_mutex> listGuard(list.Lock());
  for (size_t i = 0; i < list.Count(); ++i) {
    CPlan* plan = list.At(i);
    std::lock_guard<std::recursive_mutex> planGuard(plan->Lock());
    const CRuleSet* rules = plan->Rules();
    if (!rules) continue;
    for (size_t g = 0; g < rules->GroupCount(kRuleInclude); ++g) {
      const CRuleGroup* group = rules->Group(kRuleInclude, g);
      if (!group || !group->Enabled()) continue;
      std::vector<std::string> found{FolderOfMask(group->Pattern())};
      for (size_t n = 0; n < group->ItemCount(); ++n) {
        const CRuleItem* item = group->Item(n);
        if (item && item->enabled) found.push_back(FolderOfMask(item->mask));
      }
      for (std::string& f : found) {
        if (!f.empty()) out.push_back(std::move(f));
      }
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

void CFileDispatchThread::Run() {
  PlanList& list = list_ ? *list_ : PlanList::Instance();
  CChangeMonitor& monitor = monitor_ ? *monitor_ : CChangeMonitor::Instance();
  std::vector<std::string> told;
  std::vector<Alias> aliases;
  bool toldOnce = false;
  auto lastLook = std::chrono::steady_clock::now();
  const auto tellFolders = [&] {
    std::vector<std::string> folders = ProtectedFolders(list);
    lastLook = std::chrono::steady_clock::now();
    if (!toldOnce || folders != told) monitor.WatchFolders(folders);
    told = std::move(folders);
    toldOnce = true;
    // Where a folder's files are reported is asked once, while it stays told:
    // a link swapped in later redirects nothing. A folder inside another
    // told folder has none: a link inside a source is never followed.
    std::erase_if(aliases, [&](const Alias& a) {
      return !std::binary_search(told.begin(), told.end(), a.folder);
    });
    for (const std::string& folder : told) {
      const bool known = std::any_of(aliases.begin(), aliases.end(),
                                     [&](const Alias& a) { return a.folder == folder; });
      const bool inner = std::any_of(told.begin(), told.end(), [&](const std::string& other) {
        return other != folder && LiesWithin(other, folder);
      });
      if (known || inner) continue;
      std::string reported = monitor.ReportedFolder(folder);
      if (!reported.empty()) aliases.push_back({std::move(reported), folder});
    }
  };
  tellFolders();
  for (;;) {
    uint64_t asked = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      asked = looksAsked_ != looksDone_ ? looksAsked_ : 0;
    }
    if (asked != 0 || std::chrono::steady_clock::now() - lastLook >= std::chrono::seconds(1))
      tellFolders();
    if (asked != 0) {
      std::lock_guard<std::mutex> guard(lock_);
      looksDone_ = asked;
      looked_.notify_all();
    }
    for (const plat::UnheldName& unheld : monitor.TakeUnheldNames()) {
      OfferNotProtected(list, unheld);
    }
    {
      std::unique_lock<std::mutex> lock(lock_);
      wake_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return signalled_; });
      signalled_ = false;
    }
    for (;;) {
      std::string path;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return;
        if (queue_.empty()) break;
        path = std::move(queue_.front());
        queue_.pop_front();
      }
      list.OfferChangedFile(path);
      std::string mapped;
      for (const Alias& alias : aliases) {
        if (alias.reported != alias.folder && MapBelow(path, alias.reported, alias.folder, &mapped))
          list.OfferChangedFile(mapped);
      }
    }
  }
}
