// The rotation of a copy in flight (the latest copy moved to its revision
// and the deletes of the version rule, held back until the new copy is
// whole) and the server-side moves it runs.
#include <algorithm>
#include <cstdlib>

#include "destinations/ObjectDevice.h"

namespace {

// The revision number in a revision's name: the last "(NNNN)" of four digits
// or more; *before and *after get what stands around it. 0 when there is none.
int64_t NumberIn(std::string_view name, std::string_view* before, std::string_view* after) {
  for (size_t close = name.rfind(')'); close != std::string_view::npos && close > 0;
       close = name.rfind(')', close - 1)) {
    size_t open = close;
    while (open > 0 && name[open - 1] >= '0' && name[open - 1] <= '9') --open;
    if (open == 0 || name[open - 1] != '(' || close - open < 4 || close - open > 18) continue;
    *before = name.substr(0, open - 1);
    *after = name.substr(close + 1);
    return std::strtoll(std::string(name.substr(open, close - open)).c_str(), nullptr, 10);
  }
  return 0;
}

}  // namespace

void CObjectDevice::Rotate(const std::string& target, const std::function<void()>& beforeReplace) {
  if (!beforeReplace) return;
  rotation_ = Rotation{target, {}, {}};
  beforeReplace();
}

void CObjectDevice::Settle(bool whole) {
  Rotation done = std::move(rotation_);
  rotation_ = Rotation{};
  // No revision was added: the youngest one the rule let go stays instead.
  if (done.reused && !done.deletes.empty()) {
    const auto youngest =
        std::max_element(done.deletes.begin(), done.deletes.end(), [](auto& a, auto& b) {
          std::string_view before, after;
          return NumberIn(a, &before, &after) < NumberIn(b, &before, &after);
        });
    done.deletes.erase(youngest);
  }
  for (const std::string& key : whole ? done.deletes : done.copied) {
    if (Retried([&] { return session_.Delete(key); }).Ok()) Known(key, false, 0);
  }
}

uint32_t CObjectDevice::MoveFile(std::string_view source, std::string_view target) {
  const std::string from = KeyOf(source), to = KeyOf(target);
  if (from.empty() || to.empty()) return kDestOk;
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (Retried([&] { return session_.Head(to); }).status != 404) return kDestFailed;
  // A rotation cut off after its copy (the store went away before the new
  // copy replaced the latest one) left that copy as the highest revision:
  // it serves, so no content is kept twice and no number is skipped.
  if (!rotation_.target.empty() && from == rotation_.target &&
      !LeftoverRevision(from, to).empty()) {
    rotation_.reused = true;
    return kDestOk;
  }
  const ObjectReply copied = Retried([&] { return session_.Copy(from, to); });
  if (!copied.Ok()) return kDestFailed;
  Known(to, true, 0);
  if (!rotation_.target.empty() && from == rotation_.target) {
    rotation_.copied.push_back(to);
    return kDestOk;
  }
  if (!Retried([&] { return session_.Delete(from); }).Ok()) return kDestFailed;
  Known(from, false, 0);
  return kDestOk;
}

std::string CObjectDevice::LeftoverRevision(const std::string& from, const std::string& to) {
  const size_t slash = to.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : to.substr(0, slash + 1);
  std::string_view before, after;
  const int64_t number = NumberIn(std::string_view(to).substr(folder.size()), &before, &after);
  const auto* names = number > 0 ? Listing(folder) : nullptr;
  if (names == nullptr) return "";
  int64_t highest = 0;
  const Listed* below = nullptr;
  std::string name;
  for (const auto& [entry, listed] : *names) {
    std::string_view b, a;
    const int64_t n = NumberIn(entry, &b, &a);
    if (b == before && a == after && n < number && n > highest) {
      highest = n;
      below = &listed;
      name = entry;
    }
  }
  if (below == nullptr || below->etag.empty()) return "";
  // The source's folder is listed already (FileExists): a differing ETag
  // there costs no request.
  const size_t fromSlash = from.rfind('/');
  const std::string fromFolder =
      fromSlash == std::string::npos ? "" : from.substr(0, fromSlash + 1);
  if (const auto* sources = Listing(fromFolder)) {
    const auto listed = sources->find(from.substr(fromFolder.size()));
    if (listed != sources->end() && !listed->second.etag.empty() &&
        listed->second.etag != below->etag)
      return "";
  }
  const ObjectReply source = Retried([&] { return session_.Head(from); });
  if (!source.Ok() || source.etag != below->etag) return "";
  // The same bytes: the same attributes too, or it is an older version
  // whose content came back.
  const ObjectReply revision = Retried([&] { return session_.Head(folder + name); });
  if (!revision.Ok() || revision.etag != source.etag || revision.kept.time != source.kept.time ||
      revision.kept.mode != source.kept.mode)
    return "";
  return folder + name;
}
