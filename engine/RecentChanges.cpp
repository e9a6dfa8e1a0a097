#include "engine/RecentChanges.h"

#include <functional>

uint64_t RecentChanges::Key(std::string_view path) {
  // A 64-bit hash: two paths sharing one would at worst copy one of them a
  // second early, and a copy that meets a file being written is refused anyway.
  return static_cast<uint64_t>(std::hash<std::string_view>()(path));
}

void RecentChanges::Forget(uint64_t nowMs) {
  while (!order_.empty() && (order_.front().first + kKeptMs < nowMs || order_.size() > kMaxKept)) {
    const auto [time, key] = order_.front();
    order_.pop_front();
    const auto it = last_.find(key);
    if (it != last_.end() && it->second == time) last_.erase(it);
  }
}

void RecentChanges::Note(std::string_view path, uint64_t nowMs) {
  const uint64_t key = Key(path);
  std::lock_guard<std::mutex> guard(lock_);
  Forget(nowMs);
  order_.emplace_back(nowMs, key);
  last_[key] = nowMs;
  if (waiting_ == 0 && nowMs > mark_) waiting_ = nowMs;
}

bool RecentChanges::Quiet(std::string_view path, uint64_t nowMs) const {
  const uint64_t key = Key(path);
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = last_.find(key);
  return it != last_.end() && it->second + kQuietMs <= nowMs;
}

bool RecentChanges::Settled(uint64_t nowMs) const { return MsUntilSettled(nowMs) == 0; }

int64_t RecentChanges::MsUntilSettled(uint64_t nowMs) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (waiting_ == 0) return -1;
  if (waiting_ + kQuietMs <= nowMs) return 0;
  return static_cast<int64_t>(waiting_ + kQuietMs - nowMs);
}

void RecentChanges::BeginWalk(uint64_t nowMs) {
  std::lock_guard<std::mutex> guard(lock_);
  mark_ = nowMs > kQuietMs ? nowMs - kQuietMs : 0;
  waiting_ = 0;
  // The notes after the mark are the last second's: few, at the back.
  for (auto it = order_.rbegin(); it != order_.rend() && it->first > mark_; ++it)
    waiting_ = it->first;
}
