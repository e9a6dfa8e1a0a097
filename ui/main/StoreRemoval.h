// Removing a deleted plan's backup files from its store. Runs on a worker: a
// store may hold many files on a slow disk.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// What deleting a plan together with its backup files removes.
struct StoreRemoval {
  std::string storeRoot;  // the store folder (system path, with or without a closing "\")
  // The folder the deleted plan's "Logging.dat" was kept in; removed at the end.
  std::string journalFolder;
  uint32_t planId = 0;
  // "IncExc.ini" of every plan that keeps its copies in the same store.
  std::vector<std::string> otherRuleFiles;
};

// Removes the newest copy and every revision of each file the plan's journal
// names, except files that a plan sharing the store protects (its rules
// take the path; when a rule file cannot be read, nothing is removed), then
// the folders this left empty. A store no other plan uses loses "Latest",
// "Revision" and its marker "Brevanto.dat" once they hold nothing more, and
// the store folder once it is empty (never a drive root or a share). cancel
// (may be null) ends the work early. True when everything asked for is gone.
bool RemovePlanFiles(const StoreRemoval& what, const std::atomic<bool>* cancel);
