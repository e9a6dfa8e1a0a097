// The names of files a plan's store could not hold (a name it cannot carry,
// a copy it cannot keep private): counted on the plan's card while they last.
#include <algorithm>

#include "plans/CPlan.h"

bool CPlan::NoteUnheldName(const std::string& shownPath, bool keptPrivate) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return unheldNames_.emplace(shownPath, keptPrivate).second;
}

void CPlan::ForgetUnheldName(const std::string& shownPath) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  unheldNames_.erase(shownPath);
}

size_t CPlan::UnheldNameCount() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return unheldNames_.size();
}

std::vector<std::string> CPlan::PrivateUnheldNames() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<std::string> names;
  for (const auto& [name, keptPrivate] : unheldNames_) {
    if (keptPrivate) names.push_back(name);
  }
  return names;
}

size_t CPlan::PrivateUnheldCount() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return static_cast<size_t>(std::count_if(unheldNames_.begin(), unheldNames_.end(),
                                           [](const auto& name) { return name.second; }));
}
