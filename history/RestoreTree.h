// The browsable tree of a plan's backup store: one CDirNode per folder or
// file found by listing the store, the check marks the restore window sets,
// the search that hides nodes, and the per-folder totals. CDirNodeCache keeps
// the last tree listed for each plan.
//
// A tree has no lock of its own: a restore job builds or changes it on its
// thread while the window only looks at it from the job's callbacks (or after
// the job has ended). Roots are shared (std::shared_ptr) between the window,
// the jobs and the cache, so none of them can free a tree another still shows.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Check states of a node.
enum CheckState : int32_t {
  kCheckNone = 1,     // unchecked (initial)
  kCheckAll = 3,      // checked
  kCheckPartial = 8,  // a folder whose children differ
};

// A local calendar time as the window shows it.
struct NodeTime {
  int32_t year = 0, month = 0, dayOfWeek = 0, day = 0;  // month 1-12, dayOfWeek 0 = Sunday
  int32_t hour = 0, minute = 0, second = 0, millisecond = 0;
};
// Seconds since 1970 UTC in the process's local time zone.
NodeTime ToNodeTime(int64_t utcSeconds);

class CDirNode {
 public:
  CDirNode() = default;
  CDirNode(const CDirNode&) = delete;
  CDirNode& operator=(const CDirNode&) = delete;
  // Frees the subtree without recursion, so a very deep tree cannot exhaust
  // the stack.
  ~CDirNode();

  // Appends a child (taken over) and sets its parent; returns it.
  CDirNode* AddChild(std::unique_ptr<CDirNode> child);
  // Removes and destroys the first direct child with exactly this name;
  // false when there is none.
  bool RemoveChild(std::string_view name);

  CDirNode* parent = nullptr;
  std::vector<std::unique_ptr<CDirNode>> children;  // in listing order
  std::string name;                                 // the entry's name (the root: the store folder)
  std::string path;                                 // full path on the destination
  uint64_t fileCount = 0;  // 1 for a file; for a folder, visible files below after totals
  uint64_t size = 0;       // file length; for a folder, visible bytes below after totals
  NodeTime time;           // last write, local time
  bool isFolder = false;
  bool hidden = false;  // set by a search that excludes the node
  int32_t checkState = kCheckNone;
  std::string restoreName;  // a file restored under another name (empty: its own)
};

// Depth-first, root first, children in order. The visitor returns false to
// end the walk early; the walk returns false then.
template <typename Visit>
bool WalkTree(CDirNode* root, Visit&& visit) {
  if (root == nullptr) return true;
  std::vector<CDirNode*> stack{root};
  while (!stack.empty()) {
    CDirNode* node = stack.back();
    stack.pop_back();
    if (!visit(node)) return false;
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
      stack.push_back(it->get());
  }
  return true;
}

// Sets the state on the node and everything below it, then walks upward:
// each parent becomes kCheckPartial when any of its children differs from
// the child just handled, else that child's state.
void SetCheckState(CDirNode* node, int32_t state);
// Bytes the user has chosen below the node: 0 for a hidden or unchecked node;
// a folder sums its children; a file counts when checked.
uint64_t SelectedSize(const CDirNode* node);

// File count and size of every folder to 0.
void ResetTotals(CDirNode* root);
// Bottom-up: every folder gets the sums over its children that are not
// hidden (hidden subtrees are still visited and totalled themselves).
void ComputeTotals(CDirNode* root);

// Whole-name match: '*' any run (also none), '?' exactly one character, any
// other character itself, A-Z and a-z matching each other (no other case
// folding). Characters are UTF-8 code points. An empty pattern matches only
// an empty name.
bool MatchSearchPattern(std::string_view name, std::string_view pattern);

// Marks hidden every node whose name does not match and below which nothing
// matches; clears the flag on the others. A matching folder does not make its
// non-matching children visible. Returns false (tree partly marked) when stop
// became non-zero; stop may be null.
bool ApplySearch(CDirNode* root, std::string_view pattern, const std::atomic<int32_t>* stop);

// The last tree listed for each plan, for showing a plan again without
// listing its store anew.
class CDirNodeCache {
 public:
  static CDirNodeCache& Instance();

  // Replaces the tree kept for the plan (null removes it).
  void Put(uint32_t planId, std::shared_ptr<CDirNode> root);
  // Null when none is kept.
  std::shared_ptr<CDirNode> Get(uint32_t planId) const;
  // Drops every tree (those nobody else holds are destroyed).
  void Clear();
  size_t Count() const;

 private:
  mutable std::mutex lock_;  // guards roots_
  std::map<uint32_t, std::shared_ptr<CDirNode>> roots_;
};
