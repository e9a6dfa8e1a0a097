// What the main view's source files share (CBrevantoView*.cpp): the tags
// that say what a worker result was asked for, and the text helpers.
#pragma once
#include <QString>
#include <string>

#include "common/Texts.h"

namespace view_parts {

// What a worker result was asked for.
enum : int {
  kTagPending = 1,     // the cells' waiting-file counts
  kTagStatus = 2,      // free space for a cell's status and space line
  kTagSpaceCheck = 3,  // the destination space check (pop-ups)
};

inline QString Q(const std::string& s) { return QString::fromStdString(s); }
inline QString Main(const char* key) { return Q(GetText("MAIN_UI", key)); }

}  // namespace view_parts
