// A folder's entries for walks over big trees: what DirSearch lists, each
// entry's kind taken from the listing itself, and a file's size and last
// write from one status call made relative to the open folder.
#pragma once
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace plat {

struct FolderEntry {
  std::string_view name;  // valid during the call only
  bool folder = false;
  uint64_t size = 0;      // a file's, with sizes; 0 otherwise
  int64_t writeTime = 0;  // a file's last write (seconds since 1970 UTC), with sizes
};

using FolderEntryFn = bool (*)(void* context, const FolderEntry& entry);

// Calls each for every entry DirSearch lists (the same names left out; a
// link to a file counts as that file, links to folders and other kinds are
// left out) until it returns false. A folder never costs a call of its own,
// nor does a file without sizes; an entry whose kind the listing does not
// say (a link, an unknown kind) is looked at. False (GetLastError) when the
// folder cannot be read; an empty folder lists nothing and is true.
bool ListFolderEntries(std::string_view folder, bool sizes, FolderEntryFn each, void* context);

template <class Each>
bool ListFolderEntries(std::string_view folder, bool sizes, Each&& each) {
  using Callable = std::remove_reference_t<Each>;
  return ListFolderEntries(
      folder, sizes,
      [](void* context, const FolderEntry& entry) {
        return static_cast<bool>((*static_cast<Callable*>(context))(entry));
      },
      const_cast<void*>(static_cast<const void*>(&each)));
}

}  // namespace plat
