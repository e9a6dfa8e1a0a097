// System paths (Windows form, "\" separator) and their native counterparts.
// Only the platform layer turns one into the other.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// "\\?\C:\x" -> "C:\x", "\\?\UNC\srv\share\x" -> "\\srv\share\x".
std::string StripLongPathPrefix(std::string_view path);

// System path -> native path. A drive path maps through the volume table
// ("C:\home\a" -> "/home/a"), a share path through the mounted or declared
// shares. False when the path names no volume or share, or is relative.
bool ToNativePath(std::string_view systemPath, std::string* native);
// Native absolute path -> system path through the volume with the longest
// matching root. False when the path lies on no volume or holds a name that a
// system path cannot carry (a "\" inside a name, bytes that are not UTF-8).
bool ToSystemPath(std::string_view nativePath, std::string* systemPath);

// Helpers on system paths (pure string work).
// Folder part including its closing "\" ("C:\a\b.txt" -> "C:\a\").
std::string PathFolder(std::string_view path);
// Last component ("C:\a\b.txt" -> "b.txt").
std::string PathName(std::string_view path);
// a + "\" + b with exactly one separator between them.
std::string PathAppend(std::string_view a, std::string_view b);
// Adds a closing "\" when missing.
std::string WithSeparator(std::string_view path);

}  // namespace plat
