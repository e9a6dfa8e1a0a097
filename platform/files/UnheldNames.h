#pragma once

// Names a system path cannot carry: the walks and the change device skip
// them, and hand them up here so that the engine can say so.

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

enum class UnheldReason : uint32_t {
  kNone = 0,
  kBackslash = 1,     // the name holds a backslash
  kNotUtf8 = 2,       // the name is not valid UTF-8
  kTooLong = 3,       // the whole path is longer than a record can carry
  kLinkedFolder = 4,  // a link to a folder, which a walk does not follow
};

// A skipped file: the folder that holds it (a system path) and its own name
// as raw native bytes.
struct UnheldName {
  std::string folder;
  std::string name;
  UnheldReason reason = UnheldReason::kNone;
};

// Why a native file name cannot become part of a system path; kNone if it can.
UnheldReason ReasonForName(std::string_view name);
// The raw name for display: bytes that are not UTF-8 as \xFF.
std::string ShownName(std::string_view raw);
// A name that stands in for the raw one when matching rules: backslashes and
// bytes that are not UTF-8 become "_".
std::string StandInName(std::string_view raw);

}  // namespace plat
