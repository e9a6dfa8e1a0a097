// Native file names for Qt objects (icons, URLs) from system paths.
#pragma once
#include <QString>
#include <string>

#include "common/Texts.h"  // ReadablePath

// Empty when the system path names no volume.
QString NativeQPath(const std::string& systemPath);

// A system path as a person reads it, without trailing separators (a volume's
// root keeps its own).
std::string ReadableFolderPath(const std::string& systemPath);
