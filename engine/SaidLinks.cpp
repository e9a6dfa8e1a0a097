#include "engine/SaidLinks.h"

#include <cstdio>
#include <cstdlib>

#include "common/KeyValueFile.h"

namespace {

uint64_t LinkHash(std::string_view link, std::string_view target) {
  uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](std::string_view text) {
    for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;
  };
  mix(link);
  h = (h ^ 0xff) * 0x100000001B3ull;  // no byte of a path: link and target stay apart
  mix(target);
  return h;
}

std::string LinksFilePath(std::string_view planFolder) {
  std::string path(planFolder);
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path + "links.ini";
}

}  // namespace

void SaidLinks::LoadFor(std::string_view planFolder) {
  if (loaded_ && folder_ == planFolder) return;
  folder_.assign(planFolder);
  loaded_ = true;
  dirty_ = false;
  said_.clear();
  if (folder_.empty()) return;
  CKeyValueReader reader;
  if (!reader.Open(LinksFilePath(folder_))) return;
  std::string key, value;
  while (reader.Next(&key, &value)) {
    if (key != "said" || value.size() != 16) continue;
    char* end = nullptr;
    const uint64_t hash = std::strtoull(value.c_str(), &end, 16);
    if (end == value.c_str() + value.size()) said_.insert(hash);
  }
}

bool SaidLinks::FirstTime(std::string_view planFolder, std::string_view link,
                          std::string_view target) {
  std::lock_guard<std::mutex> guard(lock_);
  LoadFor(planFolder);
  if (!said_.insert(LinkHash(link, target)).second) return false;
  dirty_ = true;
  return true;
}

void SaidLinks::Save() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!dirty_ || folder_.empty()) return;
  CKeyValueWriter writer;
  char hex[17];
  for (uint64_t hash : said_) {
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    writer.Add("said", std::string_view(hex, 16));
  }
  // Not written: the links are said again at the next start, nothing worse.
  dirty_ = !writer.Write(LinksFilePath(folder_), true);
}
