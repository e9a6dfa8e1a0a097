// Native file names for Qt objects (icons, URLs) from system paths.
#pragma once
#include <QString>
#include <string>

// Empty when the system path names no volume.
QString NativeQPath(const std::string& systemPath);

// A text that may be a system path, as a person reads it: the native path
// when it names a volume or share, otherwise the text unchanged.
std::string ReadablePath(const std::string& text);

// A system path as a person reads it, without trailing separators (a volume's
// root keeps its own).
std::string ReadableFolderPath(const std::string& systemPath);
