// The revisions of a local store as a whole: what the card's figure and the
// making of room on a full disk look at.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

// One file of the store's "Revision" tree.
struct RevisionFile {
  std::string path;  // system path
  uint64_t size = 0;
  int64_t time = 0;  // modification time, seconds since 1970 UTC
};

// Calls each for every plain file below root + "Revision\" (a local store;
// links are neither followed nor reported) until it returns false. False
// when the tree cannot be read at all (no such folder: true, nothing listed).
bool WalkRevisionFiles(const std::string& root,
                       const std::function<bool(const RevisionFile&)>& each);

// Bytes the files below root + "Revision\" take (their sizes); 0 for none.
uint64_t RevisionBytes(const std::string& root);
