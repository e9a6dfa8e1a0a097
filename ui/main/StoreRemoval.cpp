#include "ui/main/StoreRemoval.h"

#include <memory>
#include <set>
#include <string_view>

#include "destinations/Destination.h"
#include "destinations/StoreMarker.h"
#include "engine/CSimpleEngine.h"
#include "history/CLoggingDatabase.h"
#include "plans/RuleFile.h"
#include "plans/RuleSet.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"

namespace {

bool Cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(); }

std::string WithoutSeparator(std::string folder) {
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return folder;
}

// "E:" or "\\server\share" alone is a whole volume, never a store folder.
bool IsVolume(const std::string& folder) {
  if (folder.size() <= 2) return true;
  return folder.rfind("\\\\", 0) == 0 &&
         folder.find('\\', folder.find('\\', 2) + 1) == std::string::npos;
}

bool DeleteStoreFile(const std::string& path) {
  const uint32_t attributes = plat::GetFileAttributes(path);
  if (attributes == plat::kInvalidAttributes) return true;  // not there
  if (attributes & plat::kAttrReadOnly)
    plat::SetFileAttributes(path, attributes & ~plat::kAttrReadOnly);
  return plat::DeleteFile(path);
}

// The revision number a name in a store's revision folder has for the file
// stem + "." + ext: one of its "(digits)" parts as RevisionFileName writes
// it, 0 when none fits.
int64_t RevisionNumber(const std::string& name, const std::string& stem, const std::string& ext) {
  for (size_t open = name.find('('); open != std::string::npos; open = name.find('(', open + 1)) {
    const size_t close = name.find(')', open);
    if (close == std::string::npos || close - open < 5 || close - open > 19) continue;
    const std::string digits = name.substr(open + 1, close - open - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const int64_t n = std::stoll(digits);
    if (n > 0 && RevisionFileName(stem, ext, n) == name) return n;
  }
  return 0;
}

// Every path the journal in folder holds.
std::vector<std::string> JournalPaths(const std::string& folder, uint32_t planId) {
  std::vector<std::string> paths;
  CLoggingDatabase db;
  if (db.Open(folder, planId) != CLoggingDatabase::kOk) return paths;
  LogRecord record;
  uint64_t offset = 0, next = 0;
  bool found = false;
  while (db.ReadRecord(offset, &record, &next, &found) == CLoggingDatabase::kOk && found) {
    paths.push_back(plat::Utf16ToUtf8(record.path));
    offset = next;
  }
  db.Close();
  return paths;
}

// Removes the folders below stop (a folder path without its closing "\")
// that became empty, from folder upwards.
void RemoveEmptyFolders(std::string folder, const std::string& stop) {
  folder = WithoutSeparator(std::move(folder));
  while (folder.size() > stop.size() && folder.rfind(stop + "\\", 0) == 0) {
    if (!plat::RemoveDirectory(folder)) return;
    folder = WithoutSeparator(plat::PathFolder(folder));
  }
}

}  // namespace

bool RemovePlanFiles(const StoreRemoval& what, const std::atomic<bool>* cancel) {
  const std::string root = WithoutSeparator(what.storeRoot);
  if (root.empty()) return false;
  std::vector<std::unique_ptr<CRuleSet>> others;
  for (const std::string& file : what.otherRuleFiles) {
    others.push_back(LoadRuleSet(file));
    // What another plan protects cannot be told: its files all stay.
    if (!others.back()) return false;
  }

  bool ok = true;
  std::set<std::string> touched;
  for (const std::string& path : JournalPaths(what.journalFolder, what.planId)) {
    if (Cancelled(cancel)) return false;
    bool another = false;
    for (const auto& rules : others) another = another || rules->Match(path, true);
    if (another) continue;
    const StoreNames names = MakeStoreNames(root, path, '\\');
    ok = DeleteStoreFile(names.latestName) && ok;
    plat::DirSearch search;
    plat::FindData entry;
    if (search.Open(names.revisionFolder + "*", &entry)) {
      std::vector<std::string> revisions;
      do {
        if (!(entry.attributes & plat::kAttrDirectory) &&
            RevisionNumber(entry.name, names.stem, names.extension) > 0)
          revisions.push_back(names.revisionFolder + entry.name);
      } while (search.Next(&entry));
      search.Close();
      for (const std::string& revision : revisions) ok = DeleteStoreFile(revision) && ok;
    }
    touched.insert(names.latestFolder);
    touched.insert(names.revisionFolder);
  }
  for (const std::string& folder : touched) RemoveEmptyFolders(folder, root);
  plat::DeleteTree(what.journalFolder);
  if (!others.empty()) return ok;

  // No other plan keeps copies here: the store's own parts go once empty.
  for (const char* part : {"Latest", "Revision"}) plat::RemoveDirectory(root + "\\" + part);
  const bool partsGone =
      !plat::FileExists(root + "\\Latest") && !plat::FileExists(root + "\\Revision");
  if (partsGone) ok = DeleteStoreFile(root + "\\" + kStoreMarkerName) && ok;
  if (partsGone && !IsVolume(root)) plat::RemoveDirectory(root);
  return ok;
}
