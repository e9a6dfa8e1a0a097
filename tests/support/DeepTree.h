// Folder trees deeper than the system opens by name, made and removed through descriptors.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace bvtest {

// Nested folders called name below root, each (level, file) written at its level (0: root).
inline bool MakeDeepTree(const std::string& root, const std::string& name, int levels,
                         const std::vector<std::pair<int, std::string>>& files) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; fd >= 0; ++level) {
    for (const auto& [at, file] : files) {
      if (at != level) continue;
      const int f = openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      const bool written = f >= 0 && write(f, file.data(), file.size()) > 0;
      if (f >= 0) close(f);
      if (!written) {
        close(fd);
        return false;
      }
    }
    if (level == levels) break;
    mkdirat(fd, name.c_str(), 0755);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Removes the entry name of the open folder parentFd with all it holds.
inline void RemoveDeepEntry(int parentFd, const char* name) {
  const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlinkat(parentFd, name, 0);
    return;
  }
  if (DIR* dir = fdopendir(fd)) {
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    for (const std::string& n : names) RemoveDeepEntry(dirfd(dir), n.c_str());
    closedir(dir);
  } else {
    close(fd);
  }
  unlinkat(parentFd, name, AT_REMOVEDIR);
}

// Removes the native folder root/name with all it holds, however deep.
inline void RemoveDeepTree(const std::string& root, const std::string& name) {
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  RemoveDeepEntry(fd, name.c_str());
  close(fd);
}

}  // namespace bvtest
