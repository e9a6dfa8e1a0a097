#include "platform/files/FolderAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/base/Errors.h"
#include "platform/files/FileSupport.h"

namespace plat {

bool MayCreateIn(std::string_view folder) {
  std::string native;
  if (!detail::Resolve(folder, &native)) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return detail::Fail(detail::ErrorFor(errno, native));
  if (!S_ISDIR(st.st_mode)) return detail::Fail(kErrDirectory);
  if (access(native.c_str(), W_OK | X_OK) != 0)
    return detail::Fail(detail::ErrorFor(errno, native));
  return true;
}

bool RunsAsAdministrator() { return geteuid() == 0; }

namespace {

constexpr size_t kMaxKeptFolders = 4096;
constexpr auto kFolderAnswerLife = std::chrono::seconds(30);

struct FolderMasks {
  std::mutex lock;  // guards masks
  struct Kept {
    uint32_t mask;
    std::chrono::steady_clock::time_point at;
  };
  std::unordered_map<std::string, Kept> masks;
};

FolderMasks& Masks() {
  static FolderMasks masks;
  return masks;
}

// The bits a folder (native path, no trailing "/" except the root) and every
// folder above it let through to a file below; called with the lock held.
uint32_t MaskOfFolder(FolderMasks& kept, const std::string& folder) {
  const auto now = std::chrono::steady_clock::now();
  const auto found = kept.masks.find(folder);
  if (found != kept.masks.end() && now - found->second.at < kFolderAnswerLife)
    return found->second.mask;
  struct stat st;
  uint32_t mask = 0700;
  if (stat(folder.c_str(), &st) == 0) {
    mask = (st.st_mode & S_IXOTH) ? 0777 : (st.st_mode & S_IXGRP) ? 0770 : 0700;
  }
  const size_t slash = folder.find_last_of('/');
  if (mask != 0700 && slash != std::string::npos && folder != "/")
    mask &= MaskOfFolder(kept, slash == 0 ? std::string("/") : folder.substr(0, slash));
  if (kept.masks.size() >= kMaxKeptFolders) kept.masks.clear();
  kept.masks[folder] = {mask, now};
  return mask;
}

}  // namespace

uint32_t ReachableMode(std::string_view path, uint32_t mode) {
  std::string native;
  if (!detail::Resolve(path, &native)) return mode & ~077u;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  const size_t slash = native.find_last_of('/');
  if (slash == std::string::npos) return mode & ~077u;
  FolderMasks& kept = Masks();
  std::lock_guard<std::mutex> guard(kept.lock);
  const uint32_t mask = MaskOfFolder(kept, slash == 0 ? std::string("/") : native.substr(0, slash));
  return mode & (mask | 07000u);
}

}  // namespace plat
