// Native file names for Qt objects (icons, URLs) from system paths.
#pragma once
#include <QString>
#include <string>

// Empty when the system path names no volume.
QString NativeQPath(const std::string& systemPath);
