// The Joliet names of an image's files and folders (within the disc module):
// legal for Windows (no `*/:;?\"<>|`, control characters, characters beyond
// 16 bits or trailing dots and blanks; at most 103 characters, the extension
// kept) and unique per folder without regard to case.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace disc {

struct Image;

// The name with what Windows refuses replaced by "_", cut to fit.
std::string JolietLegalName(std::string_view name, bool folder);
// The name as Windows compares names (letters in one case).
std::u32string JolietFoldKey(std::string_view name);
// The Joliet names of one folder's entries (in the order given): a name
// that is legal and not yet taken stays; the others get their legal form,
// with " (2)", " (3)" ... before the extension where that is taken. In a
// folder shared with Rock Ridge (sharedFolder), no entry's own name is given
// to another.
std::vector<std::string> JolietNamesOf(const std::vector<std::string>& names,
                                       const std::vector<bool>& folders, bool sharedFolder);
// Applies the names to the image (once; FinishImage calls it).
int GiveJolietNames(Image* image, std::string* error);

}  // namespace disc
