// The Joliet names of an image: chosen here, per folder, rather than left to
// libisofs (which keeps case twins and the characters Windows refuses). A
// node whose Joliet name differs from its own is hidden from the Joliet tree
// and a Joliet-only twin carries the name; a file's twin shares its data.
#include "destinations/disc/JolietNames.h"

#include <set>
#include <vector>

#include "destinations/disc/DiscLibrary.h"

namespace disc {

namespace {

// Joliet's limit with long names (UTF-16 units; every kept character is one).
constexpr size_t kJolietUnits = 103;
// The extension kept when a name is cut: at most this many characters.
constexpr size_t kKeptExtension = 16;

size_t SequenceLength(unsigned char c) {
  return c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
}

// The name's characters (UTF-8 sequences), those Windows cannot open replaced.
std::vector<std::string> LegalCharacters(std::string_view name) {
  std::vector<std::string> out;
  for (size_t i = 0; i < name.size();) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const size_t len = std::min(SequenceLength(c), name.size() - i);
    const bool refused =
        len == 4 || (len == 1 && (c < 0x20 || c == 0x7f)) ||
        (len == 1 && std::string_view("*/:;?\\\"<>|").find(char(c)) != std::string_view::npos);
    out.emplace_back(refused ? std::string("_") : std::string(name.substr(i, len)));
    i += len;
  }
  // Windows drops trailing dots and blanks: they become visible.
  for (size_t k = out.size(); k > 0 && (out[k - 1] == "." || out[k - 1] == " "); --k)
    out[k - 1] = "_";
  return out;
}

std::string Join(const std::vector<std::string>& chars, size_t from, size_t to) {
  std::string s;
  for (size_t i = from; i < to && i < chars.size(); ++i) s += chars[i];
  return s;
}

// stem + suffix + extension within the Joliet limit; the stem is cut first.
std::string Fitted(const std::vector<std::string>& chars, bool folder, const std::string& suffix,
                   size_t suffixUnits) {
  size_t dot = chars.size();
  if (!folder) {
    for (size_t i = chars.size(); i > 1; --i) {
      if (chars[i - 1] == ".") {
        if (chars.size() - i <= kKeptExtension) dot = i - 1;
        break;
      }
    }
  }
  const size_t tail = chars.size() - dot;
  const size_t room = kJolietUnits > tail + suffixUnits ? kJolietUnits - tail - suffixUnits : 1;
  return Join(chars, 0, std::min(dot, room)) + suffix + Join(chars, dot, chars.size());
}

// Letters compared as Windows compares them: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic in one case.
char32_t Folded(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c >= 0xe0 && c <= 0xfe && c != 0xf7) return c - 32;
  if (c >= 0x100 && c <= 0x17f && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17f) {
    const bool evenPairs = (c < 0x138) || (c > 0x149 && c < 0x178);
    return evenPairs ? (c & ~char32_t(1)) : ((c & 1) ? c : c - 1);
  }
  if (c >= 0x3b1 && c <= 0x3c9 && c != 0x3c2) return c - 32;
  if (c >= 0x430 && c <= 0x44f) return c - 32;
  if (c >= 0x450 && c <= 0x45f) return c - 80;
  return c;
}

}  // namespace

std::string JolietLegalName(std::string_view name, bool folder) {
  return Fitted(LegalCharacters(name), folder, "", 0);
}

std::u32string JolietFoldKey(std::string_view name) {
  std::u32string key;
  for (size_t i = 0; i < name.size();) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const size_t len = std::min(SequenceLength(c), name.size() - i);
    char32_t u = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
    for (size_t k = 1; k < len; ++k)
      u = (u << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3f);
    key += Folded(u);
    i += len;
  }
  return key;
}

std::vector<std::string> JolietNamesOf(const std::vector<std::string>& names,
                                       const std::vector<bool>& folders, bool sharedFolder) {
  std::vector<std::string> out(names.size());
  std::set<std::u32string> taken;
  // In a folder the image shares with Rock Ridge, a twin may not take a
  // name a node there already has.
  std::set<std::string> nodeNames;
  if (sharedFolder) nodeNames.insert(names.begin(), names.end());
  std::vector<size_t> later;
  for (size_t i = 0; i < names.size(); ++i) {
    const bool folder = i < folders.size() && folders[i];
    if (JolietLegalName(names[i], folder) == names[i] &&
        taken.insert(JolietFoldKey(names[i])).second) {
      out[i] = names[i];
    } else {
      later.push_back(i);
    }
  }
  for (size_t i : later) {
    const bool folder = i < folders.size() && folders[i];
    const std::vector<std::string> chars = LegalCharacters(names[i]);
    auto free = [&](const std::string& c) {
      return nodeNames.count(c) == 0 && taken.count(JolietFoldKey(c)) == 0;
    };
    std::string candidate = Fitted(chars, folder, "", 0);
    for (int n = 2; !free(candidate); ++n) {
      const std::string suffix = " (" + std::to_string(n) + ")";
      candidate = Fitted(chars, folder, suffix, suffix.size());
    }
    taken.insert(JolietFoldKey(candidate));
    out[i] = candidate;
  }
  return out;
}

namespace {

// Gives the children of a folder their Joliet names. jolietDir is where they
// appear in the Joliet tree: the folder itself while it is shared with Rock
// Ridge, else its Joliet-only twin.
int NameChildren(Image* image, IsoDir* folder, IsoDir* jolietDir, const std::string& path,
                 std::string* error) {
  auto it = image->children.find(folder);
  if (it == image->children.end()) return kDiscOk;
  const std::vector<ImageEntry> entries = it->second;
  const bool shared = jolietDir == folder;
  std::vector<std::string> names;
  std::vector<bool> isFolder;
  for (const ImageEntry& e : entries) {
    names.push_back(e.name);
    isFolder.push_back(e.folder);
  }
  const std::vector<std::string> joliet = JolietNamesOf(names, isFolder, shared);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ImageEntry& e = entries[i];
    const std::string own = path.empty() ? e.name : path + "\\" + e.name;
    if (joliet[i] != e.name) image->jolietRenames.emplace_back(own, joliet[i]);
    if (shared && joliet[i] == e.name) {
      if (e.folder) {
        IsoDir* dir = reinterpret_cast<IsoDir*>(e.node);
        if (int r = NameChildren(image, dir, dir, own, error); r != kDiscOk) return r;
      }
      continue;
    }
    if (shared) iso_node_set_hidden(e.node, LIBISO_HIDE_ON_JOLIET);
    std::string name = joliet[i];
    IsoNode* twin = nullptr;
    int r = e.folder ? iso_image_add_new_dir(image->image, jolietDir, name.c_str(),
                                             reinterpret_cast<IsoDir**>(&twin))
                     : iso_image_tree_clone(image->image, e.node, jolietDir, name.data(), &twin, 0);
    if (r < 0 || twin == nullptr) {
      return Fail(error, "the Joliet name of " + own + " cannot be set: " + iso_error_to_msg(r));
    }
    iso_node_set_hidden(twin, LIBISO_HIDE_ON_RR | LIBISO_HIDE_ON_1999);
    if (e.folder) {
      r = NameChildren(image, reinterpret_cast<IsoDir*>(e.node), reinterpret_cast<IsoDir*>(twin),
                       own, error);
      if (r != kDiscOk) return r;
    }
  }
  return kDiscOk;
}

}  // namespace

int GiveJolietNames(Image* image, std::string* error) {
  if (image == nullptr || image->jolietNamed) return kDiscOk;
  image->jolietNamed = true;
  image->jolietRenames.clear();
  IsoDir* root = iso_image_get_root(image->image);
  return NameChildren(image, root, root, "", error);
}

std::vector<std::pair<std::string, std::string>> JolietRenames(Image* image) {
  return image == nullptr ? std::vector<std::pair<std::string, std::string>>{}
                          : image->jolietRenames;
}

}  // namespace disc
