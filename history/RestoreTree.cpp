#include "history/RestoreTree.h"

#include <mutex>
#include <utility>

#include "platform/process/Clock.h"

NodeTime ToNodeTime(int64_t utcSeconds) {
  // The C library's time-zone state is rewritten by every conversion under a
  // lock of its own that the thread sanitizer cannot see; jobs listing at the
  // same time take turns here.
  static std::mutex zoneLock;  // guards the conversion below
  plat::LocalTime lt;
  {
    std::lock_guard<std::mutex> guard(zoneLock);
    lt = plat::ToLocalTime(utcSeconds);
  }
  NodeTime t;
  t.year = lt.year;
  t.month = lt.month;
  t.dayOfWeek = lt.weekday;
  t.day = lt.day;
  t.hour = lt.hour;
  t.minute = lt.minute;
  t.second = lt.second;
  t.millisecond = 0;
  return t;
}

CDirNode::~CDirNode() {
  // Move grandchildren up into a flat list before each child dies, so no
  // destructor below this one has children left to recurse into.
  std::vector<std::unique_ptr<CDirNode>> pending = std::move(children);
  while (!pending.empty()) {
    std::unique_ptr<CDirNode> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
    node->children.clear();
  }
}

CDirNode* CDirNode::AddChild(std::unique_ptr<CDirNode> child) {
  child->parent = this;
  children.push_back(std::move(child));
  return children.back().get();
}

bool CDirNode::RemoveChild(std::string_view childName) {
  for (auto it = children.begin(); it != children.end(); ++it) {
    if ((*it)->name == childName) {
      children.erase(it);
      return true;
    }
  }
  return false;
}

void SetCheckState(CDirNode* node, int32_t state) {
  if (node == nullptr) return;
  WalkTree(node, [state](CDirNode* n) {
    n->checkState = state;
    return true;
  });
  const CDirNode* handled = node;
  for (CDirNode* parent = node->parent; parent != nullptr; parent = parent->parent) {
    int32_t next = handled->checkState;
    for (const auto& child : parent->children) {
      if (child->checkState != handled->checkState) {
        next = kCheckPartial;
        break;
      }
    }
    parent->checkState = next;
    handled = parent;
  }
}

uint64_t SelectedSize(const CDirNode* node) {
  if (node == nullptr) return 0;
  uint64_t total = 0;
  std::vector<const CDirNode*> stack{node};
  while (!stack.empty()) {
    const CDirNode* n = stack.back();
    stack.pop_back();
    if (n->hidden || n->checkState == kCheckNone) continue;
    if (n->isFolder) {
      for (const auto& child : n->children) stack.push_back(child.get());
    } else if (n->checkState == kCheckAll) {
      total += n->size;
    }
  }
  return total;
}

void ResetTotals(CDirNode* root) {
  WalkTree(root, [](CDirNode* n) {
    if (n->isFolder) {
      n->fileCount = 0;
      n->size = 0;
    }
    return true;
  });
}

namespace {

// Root first, depth first; a child always comes after its parent.
std::vector<CDirNode*> PreOrder(CDirNode* root) {
  std::vector<CDirNode*> order;
  WalkTree(root, [&order](CDirNode* n) {
    order.push_back(n);
    return true;
  });
  return order;
}

// Next UTF-8 code point of s at *i (a stray byte counts as one character).
uint32_t NextChar(std::string_view s, size_t* i) {
  const auto b = static_cast<unsigned char>(s[*i]);
  size_t len = 1;
  uint32_t c = b;
  if (b >= 0xF0 && b < 0xF8) {
    len = 4;
    c = b & 0x07;
  } else if (b >= 0xE0) {
    len = b < 0xF0 ? 3 : 1;
    c = b & 0x0F;
  } else if (b >= 0xC0) {
    len = 2;
    c = b & 0x1F;
  }
  if (len == 1 || *i + len > s.size()) {
    *i += 1;
    return b;
  }
  for (size_t k = 1; k < len; ++k) {
    const auto cont = static_cast<unsigned char>(s[*i + k]);
    if ((cont & 0xC0) != 0x80) {
      *i += 1;
      return b;
    }
    c = (c << 6) | (cont & 0x3F);
  }
  *i += len;
  return c;
}

uint32_t FoldAscii(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

void Decode(std::string_view s, std::vector<uint32_t>* out) {
  out->clear();
  out->reserve(s.size());
  for (size_t i = 0; i < s.size();) out->push_back(FoldAscii(NextChar(s, &i)));
}

}  // namespace

void ComputeTotals(CDirNode* root) {
  ResetTotals(root);
  const std::vector<CDirNode*> order = PreOrder(root);
  // Reverse pre-order visits every node after all of its descendants.
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    CDirNode* n = *it;
    if (n == root || n->parent == nullptr || n->hidden) continue;
    n->parent->fileCount += n->fileCount;
    n->parent->size += n->size;
  }
}

bool MatchSearchPattern(std::string_view name, std::string_view pattern) {
  // Searches match every name of a store: the decoded texts live on in
  // buffers of this thread, and a pattern is decoded once while it stays.
  thread_local std::vector<uint32_t> s, p;
  thread_local std::string decodedPattern;
  if (p.empty() || decodedPattern != pattern) {
    Decode(pattern, &p);
    decodedPattern.assign(pattern);
  }
  Decode(name, &s);
  // Greedy match with a return to the last '*': linear in most cases and
  // never exponential.
  size_t si = 0, pi = 0;
  size_t starP = SIZE_MAX, starS = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi] == '*') {
      starP = pi++;
      starS = si;
    } else if (pi < p.size() && (p[pi] == '?' || p[pi] == s[si])) {
      ++pi;
      ++si;
    } else if (starP != SIZE_MAX) {
      pi = starP + 1;
      si = ++starS;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

bool ApplySearch(CDirNode* root, std::string_view pattern, const std::atomic<int32_t>* stop) {
  if (root == nullptr) return true;
  auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
  std::vector<CDirNode*> order;
  bool complete = WalkTree(root, [&](CDirNode* n) {
    if (stopped()) return false;
    n->hidden = !MatchSearchPattern(n->name, pattern);
    order.push_back(n);
    return true;
  });
  // A visible node makes its parent visible; children come before parents
  // in reverse pre-order, so a match anywhere below reaches the root.
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    if (!(*it)->hidden && (*it)->parent != nullptr) (*it)->parent->hidden = false;
  }
  return complete && !stopped();
}

CDirNodeCache& CDirNodeCache::Instance() {
  static CDirNodeCache cache;
  return cache;
}

void CDirNodeCache::Put(uint32_t planId, std::shared_ptr<CDirNode> root) {
  std::shared_ptr<CDirNode> old;  // destroyed after the lock is released
  std::lock_guard<std::mutex> guard(lock_);
  auto it = roots_.find(planId);
  if (it != roots_.end()) {
    old = std::move(it->second);
    roots_.erase(it);
  }
  if (root) roots_.emplace(planId, std::move(root));
}

std::shared_ptr<CDirNode> CDirNodeCache::Get(uint32_t planId) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = roots_.find(planId);
  return it == roots_.end() ? nullptr : it->second;
}

void CDirNodeCache::Clear() {
  std::map<uint32_t, std::shared_ptr<CDirNode>> old;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old.swap(roots_);
  }
}

size_t CDirNodeCache::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return roots_.size();
}
