// The links to folders a plan has said it does not follow, kept in its data
// folder ("links.ini"), so that each is said once per plan rather than at
// every start of the program; a link that leads elsewhere since is said again.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

class SaidLinks {
 public:
  // True when the link (its shown path) leading to target was not said yet
  // for the plan whose data folder is planFolder (empty: kept in memory
  // only); it counts as said from now on.
  bool FirstTime(std::string_view planFolder, std::string_view link, std::string_view target);
  // Writes the file when something was added since it was read or written.
  void Save();

 private:
  void LoadFor(std::string_view planFolder);

  std::mutex lock_;  // guards every field
  std::string folder_;
  bool loaded_ = false;
  bool dirty_ = false;
  std::unordered_set<uint64_t> said_;  // hashes of link and target
};
