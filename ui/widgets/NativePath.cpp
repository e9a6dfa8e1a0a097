#include "ui/widgets/NativePath.h"

#include "platform/volumes/Paths.h"

QString NativeQPath(const std::string& systemPath) {
  std::string native;
  if (!plat::ToNativePath(systemPath, &native)) return {};
  return QString::fromStdString(native);
}

std::string ReadableFolderPath(const std::string& systemPath) {
  std::string path = systemPath;
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return ReadablePath(path);
}
