#include "platform/volumes/Paths.h"

#include <vector>

#include "platform/base/Errors.h"
#include "platform/volumes/Volumes.h"

namespace plat {
namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

// Strict UTF-8 check (no overlongs, no surrogates, nothing above U+10FFFF).
bool ValidUtf8(std::string_view s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// Splits a path's remainder into name components. "." is dropped; ".." and
// NUL bytes make the path invalid (false).
bool SplitComponents(std::string_view rest, bool nativeSeps, std::vector<std::string_view>* out) {
  out->clear();
  size_t i = 0;
  while (i <= rest.size()) {
    size_t j = i;
    while (j < rest.size() && !(nativeSeps ? rest[j] == '/' : IsSep(rest[j]))) ++j;
    std::string_view comp = rest.substr(i, j - i);
    if (comp.find('\0') != std::string_view::npos) return false;
    if (comp == "..") return false;
    if (!comp.empty() && comp != ".") out->push_back(comp);
    i = j + 1;
  }
  return true;
}

std::string JoinNative(const std::string& root, const std::vector<std::string_view>& comps,
                       bool trailingSep) {
  std::string out = root;
  for (auto c : comps) {
    if (out.empty() || out.back() != '/') out += '/';
    out.append(c);
  }
  if (out.empty()) out = "/";
  if (trailingSep && !comps.empty()) out += '/';
  return out;
}

}  // namespace

std::string StripLongPathPrefix(std::string_view path) {
  if (path.size() >= 8 && path.substr(0, 4) == "\\\\?\\" &&
      (path.substr(4, 4) == "UNC\\" || path.substr(4, 4) == "unc\\"))
    return "\\\\" + std::string(path.substr(8));
  if (path.size() >= 4 && path.substr(0, 4) == "\\\\?\\") return std::string(path.substr(4));
  return std::string(path);
}

bool ToNativePath(std::string_view systemPath, std::string* native) {
  std::string path = StripLongPathPrefix(systemPath);
  std::vector<std::string_view> comps;
  std::string_view sp(path);
  bool trailing = !sp.empty() && IsSep(sp.back());
  if (sp.size() >= 2 && sp[1] == ':' &&
      ((sp[0] >= 'A' && sp[0] <= 'Z') || (sp[0] >= 'a' && sp[0] <= 'z'))) {
    // Drive path: "X:" alone or "X:\..."; "X:name" is relative to a drive's
    // current folder, which this system does not have.
    if (sp.size() > 2 && !IsSep(sp[2])) {
      SetLastError(kErrInvalidName);
      return false;
    }
    VolumeInfo v;
    char letter = sp[0] >= 'a' ? char(sp[0] - 32) : sp[0];
    if (!VolumeTable::Instance().Find(letter, &v)) {
      SetLastError(kErrPathNotFound);
      return false;
    }
    if (!SplitComponents(sp.substr(2), false, &comps)) {
      SetLastError(kErrInvalidName);
      return false;
    }
    *native = JoinNative(v.root, comps, trailing);
    return true;
  }
  if (sp.size() >= 3 && IsSep(sp[0]) && IsSep(sp[1])) {
    // Share path "\\server\share\rest": the longest declared or mounted share
    // whose name is a prefix at a component boundary.
    // Device paths ("\\.\x", "\\?\x" left after the prefix) name no share.
    std::string_view server = sp.substr(2, sp.find_first_of("\\/", 2) - 2);
    if (server.empty() || server == "." || server == "?" ||
        !SplitComponents(sp.substr(2), false, &comps) || comps.size() < 2) {
      SetLastError(kErrBadNetPath);
      return false;
    }
    // Try the longest candidate first ("\\srv\export\sub" before "\\srv\export").
    for (size_t used = comps.size(); used >= 2; --used) {
      std::string cand = "\\\\" + std::string(comps[0]);
      for (size_t k = 1; k < used; ++k) {
        cand += '\\';
        cand.append(comps[k]);
      }
      ShareInfo share;
      if (VolumeTable::Instance().FindShare(cand, &share)) {
        if (!share.online) {
          SetLastError(kErrBadNetPath);
          return false;
        }
        std::vector<std::string_view> rest(comps.begin() + long(used), comps.end());
        *native = JoinNative(share.root, rest, trailing);
        return true;
      }
    }
    SetLastError(kErrBadNetName);
    return false;
  }
  SetLastError(kErrInvalidName);
  return false;
}

bool ToSystemPath(std::string_view nativePath, std::string* systemPath) {
  if (nativePath.empty() || nativePath[0] != '/' || !ValidUtf8(nativePath) ||
      nativePath.find('\\') != std::string_view::npos) {
    SetLastError(kErrInvalidName);
    return false;
  }
  std::vector<std::string_view> comps;
  if (!SplitComponents(nativePath, true, &comps)) {
    SetLastError(kErrInvalidName);
    return false;
  }
  std::string norm;
  for (auto c : comps) {
    norm += '/';
    norm.append(c);
  }
  if (norm.empty()) norm = "/";
  std::string prefix;
  std::string root;
  VolumeInfo v;
  ShareInfo share;
  if (VolumeTable::Instance().FindByNativePath(norm, &v)) {
    prefix = std::string(1, v.letter) + ":";
    root = v.root;
  } else if (VolumeTable::Instance().FindShareByNativePath(norm, &share)) {
    prefix = share.name;
    root = share.root;
  } else {
    SetLastError(kErrPathNotFound);
    return false;
  }
  std::string rest = root == "/" ? norm : norm.substr(root.size());
  std::string out = prefix;
  for (char c : rest) out += c == '/' ? '\\' : c;
  if (out.size() == prefix.size()) out += '\\';
  *systemPath = std::move(out);
  return true;
}

std::string PathFolder(std::string_view path) {
  size_t pos = path.find_last_of("\\/");
  if (pos == std::string_view::npos) {
    // "C:name" keeps its drive part.
    if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
    return {};
  }
  return std::string(path.substr(0, pos + 1));
}

std::string PathName(std::string_view path) {
  size_t pos = path.find_last_of("\\/");
  if (pos == std::string_view::npos) {
    if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(2));
    return std::string(path);
  }
  return std::string(path.substr(pos + 1));
}

std::string PathAppend(std::string_view a, std::string_view b) {
  while (!b.empty() && IsSep(b.front())) b.remove_prefix(1);
  if (a.empty()) return std::string(b);
  std::string out(a);
  // Keep a share or root prefix intact ("\\" or "\"): only trim extra ones.
  while (out.size() > 1 && IsSep(out.back()) && IsSep(out[out.size() - 2])) out.pop_back();
  if (!IsSep(out.back())) out += '\\';
  out.append(b);
  return out;
}

std::string WithSeparator(std::string_view path) {
  std::string out(path);
  if (out.empty() || !IsSep(out.back())) out += '\\';
  return out;
}

}  // namespace plat
