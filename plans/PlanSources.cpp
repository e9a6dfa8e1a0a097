#include "plans/PlanSources.h"

#include <memory>
#include <mutex>

#include "destinations/StoreMarker.h"
#include "plans/CPlan.h"
#include "plans/PlanOwner.h"
#include "plans/RuleSet.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"

const char* const kMyComputerEntry = "{4266F874-72FC-412e-B9E1-80FA5CBFB09E}( My Computer )";

namespace {

using plat::ShellFolder;

enum Group : size_t {
  kGroupMusic = 0,
  kGroupPictures,
  kGroupDocuments,
  kGroupInternetExplorer,
  kGroupFirefox,
  kGroupNetscape,
  kGroupOpera,
  kGroupOutlook,
  kGroupOutlookExpress,
  kGroupWindowsMail,
  kGroupWindowsLiveMail,
  kGroupMessengers,
  kGroupCount,
};
static_assert(kGroupCount == std::tuple_size<WebChoices>::value);

// Order in which the first backup walks the chosen groups.
constexpr size_t kWalkOrder[kGroupCount] = {
    kGroupDocuments,      kGroupMusic,       kGroupPictures,        kGroupInternetExplorer,
    kGroupFirefox,        kGroupNetscape,    kGroupOpera,           kGroupOutlook,
    kGroupOutlookExpress, kGroupWindowsMail, kGroupWindowsLiveMail, kGroupMessengers,
};

constexpr char kUiIni[] = "UI.ini";
constexpr char kGroup1[] = "group1";

std::mutex tableLock;  // guards table and tableBuilt
std::vector<BuiltinSource> table[kGroupCount];
bool tableBuilt = false;

// Shell folder + tail; empty when the shell folder cannot be named, so that
// the source is left out rather than pointing at a relative path.
std::string Under(ShellFolder base, std::string_view tail) {
  const std::string root = plat::GetShellFolder(base);
  if (root.empty()) return {};
  return root + std::string(tail);
}

void BuildTableLocked() {
  if (tableBuilt) return;
  auto& t = table;
  for (auto& g : t) g.clear();
  t[kGroupDocuments] = {{"orl:my_documents", Under(ShellFolder::kDocuments, "")}};
  t[kGroupMusic] = {{"orl:my_music", Under(ShellFolder::kMusic, "")}};
  t[kGroupPictures] = {{"orl:my_picture", Under(ShellFolder::kPictures, "")}};
  // Browser favourites, cookies and history: the profiles of the Chromium
  // family, which keep all three in one folder each.
  t[kGroupInternetExplorer] = {
      {"orl:ie_favorites", Under(ShellFolder::kAppData, "\\chromium\\")},
      {"orl:ie_cookies", Under(ShellFolder::kAppData, "\\google-chrome\\")},
      {"orl:ie_history", Under(ShellFolder::kAppData, "\\BraveSoftware\\Brave-Browser\\")},
  };
  t[kGroupFirefox] = {{"orl:firefox", Under(ShellFolder::kProfile, "\\.mozilla\\firefox\\")}};
  t[kGroupNetscape] = {{"orl:netscape", Under(ShellFolder::kProfile, "\\.mozilla\\seamonkey\\")}};
  t[kGroupOpera] = {{"orl:opera", Under(ShellFolder::kAppData, "\\opera\\")}};
  t[kGroupOutlook] = {{"orl:outlook", Under(ShellFolder::kProfile, "\\.thunderbird\\")}};
  t[kGroupOutlookExpress] = {
      {"orl:outlookexpress", Under(ShellFolder::kLocalAppData, "\\evolution\\")},
      {"orl:outlookexpressaddress", Under(ShellFolder::kAppData, "\\evolution\\")},
  };
  t[kGroupWindowsMail] = {
      {"orl:windowsmail", Under(ShellFolder::kProfile, "\\.claws-mail\\")},
      {"orl:windowsmailcontacts", Under(ShellFolder::kLocalAppData, "\\contacts\\")},
  };
  t[kGroupWindowsLiveMail] = {
      {"orl:windowslivemail", Under(ShellFolder::kLocalAppData, "\\local-mail\\")},
      {"orl:windowslivemaildesktop", Under(ShellFolder::kLocalAppData, "\\geary\\")},
  };
  t[kGroupMessengers] = {
      {"orl:windowslivemessenger", Under(ShellFolder::kProfile, "\\.purple\\")},
      {"orl:windowsmessenger", Under(ShellFolder::kAppData, "\\hexchat\\")},
      {"orl:windowslivemessengerrecivedfiles",
       Under(ShellFolder::kProfile, "\\Downloads\\Telegram Desktop")},
      {"orl:windowsmessengerlocal", Under(ShellFolder::kLocalAppData, "\\TelegramDesktop\\")},
      {"orl:windowsmessengercontacts", ""},  // no counterpart on this system
  };
  tableBuilt = true;
}

std::string UiIniOf(std::string_view planFolder) { return plat::PathAppend(planFolder, kUiIni); }

bool Chosen(const std::string& ui, const char* section, const char* key) {
  return plat::GetProfileInt(ui, section, key, 0) != 0;
}

// Hands every file below folder to onFile, depth first in directory order,
// hidden ones too; only the listing of each open folder is held in memory.
// Ends early when onFile returns false.
template <typename OnFile>
void ForEachFile(const std::string& folder, OnFile onFile) {
  struct Level {
    std::string folder;  // ends in "\"
    std::vector<plat::FindData> entries;
    size_t next = 0;
  };
  auto list = [](const std::string& dir) {
    Level level;
    level.folder = plat::WithSeparator(dir);
    plat::DirSearch search;
    plat::FindData fd;
    if (search.Open(level.folder + "*", &fd)) {
      do {
        if (fd.name == "." || fd.name == "..") continue;
        level.entries.push_back(fd);
      } while (search.Next(&fd));
    }
    return level;
  };
  std::vector<Level> stack;
  stack.push_back(list(folder));
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.next >= top.entries.size()) {
      stack.pop_back();
      continue;
    }
    const plat::FindData& fd = top.entries[top.next++];
    std::string path = top.folder + fd.name;
    if (fd.attributes & plat::kAttrDirectory) {
      stack.push_back(list(path));  // invalidates top
    } else if (!onFile(path)) {
      return;
    }
  }
}

bool PlanStops(CPlan* plan) { return plan->Stopping() || !plan->Enabled(); }

// The plan takes the file as it would take a changed file: by its rules.
bool PlanTakes(CPlan* plan, std::string_view path) { return plan->MatchPath(path, false); }

void WalkSource(CPlan* plan, const BuiltinSource& source) {
  if (source.folder.empty()) return;
  std::string lastFolder;
  bool lastInStore = false;
  ForEachFile(source.folder, [&](const std::string& path) {
    if (PlanStops(plan)) return false;
    IPlanOwner* list = plan->Owner();
    if (list && !list->IsPathEligible(path)) return true;
    if (!PlanTakes(plan, path)) return true;
    // Files of one folder share the answer.
    const std::string folder = plat::PathFolder(path);
    if (folder != lastFolder) {
      lastFolder = folder;
      lastInStore = IsInsideStore(path);
    }
    if (lastInStore) return true;
    plan->BackUpWalkedFile(path);
    return true;
  });
}

}  // namespace

void BuildBuiltinSources() {
  std::lock_guard<std::mutex> g(tableLock);
  BuildTableLocked();
}

void ResetBuiltinSources() {
  std::lock_guard<std::mutex> g(tableLock);
  tableBuilt = false;
}

std::vector<BuiltinSource> BuiltinSourcesOfGroup(size_t group) {
  std::lock_guard<std::mutex> g(tableLock);
  BuildTableLocked();
  if (group >= kGroupCount) return {};
  return table[group];
}

std::vector<std::string> SplitFolderList(std::string_view list) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    std::string part = plat::TrimBlanks(list.substr(start, end - start));
    if (!part.empty()) parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

int32_t GetPlanType(std::string_view planFolder) {
  const std::string ui = UiIniOf(planFolder);
  switch (plat::GetProfileInt(ui, "BackupDestination", "BackupType", -1)) {
    case 0: {
      const bool videos = plat::GetProfileInt(ui, "FileTypes", "Videos", 0) > 0;
      const bool music = plat::GetProfileInt(ui, "FileTypes", "Music and Sound Files", 0) > 0;
      const bool pictures = plat::GetProfileInt(ui, "FileTypes", "Photos and Pictures", 0) > 0;
      const bool documents = plat::GetProfileInt(ui, "FileTypes", "Document Files", 0) > 0;
      const int count = videos + music + pictures + documents;
      if (count >= 2) return kPlanAllMyDocuments;
      if (videos) return kPlanVideos;
      if (music) return kPlanSoundsAndMusic;
      if (pictures) return kPlanPicturesAndPhotos;
      if (documents) return kPlanOfficeDocuments;
      return kPlanOther;
    }
    case 1:
      return kPlanAllMyWebSettings;
    case 2:
      switch (plat::GetProfileInt(ui, "NEW_WIZARD_SELECT_SOURCE", "ActiveTab", -1)) {
        case 0:
          return kPlanSpecificFolder;
        case 1:
          return kPlanSpecificExtensions;
        default:
          return kPlanOther;
      }
    default:
      return kPlanOther;
  }
}

WebChoices ReadWebChoices(std::string_view planFolder) {
  const std::string ui = UiIniOf(planFolder);
  WebChoices c{};
  const bool mail = Chosen(ui, "ApplicationData", "Outlook Data");
  const bool favorites = Chosen(ui, "ApplicationData", "Internet Favorites");
  const bool firefox = Chosen(ui, "ApplicationData", "FireFox Bookmarks");
  c[kGroupOutlook] = c[kGroupOutlookExpress] = c[kGroupWindowsMail] = mail;
  c[kGroupWindowsLiveMail] = c[kGroupMessengers] = mail;
  c[kGroupInternetExplorer] = c[kGroupOpera] = favorites;
  c[kGroupFirefox] = firefox;
  c[kGroupDocuments] = Chosen(ui, "CommonData", "Files in My Documents");
  c[kGroupPictures] = Chosen(ui, "CommonData", "Files in Pictures");
  c[kGroupMusic] = Chosen(ui, "CommonData", "Files in My Music");
  c[kGroupNetscape] = false;  // no answer chooses it
  return c;
}

bool ApplyWebChoices(CRuleSet* rules, const WebChoices& choices) {
  if (!rules) return false;
  bool ok = true;
  for (size_t g = 0; g < kGroupCount; ++g) {
    for (const BuiltinSource& s : BuiltinSourcesOfGroup(g)) {
      // A source without a folder on this machine would include everything.
      if (!choices[g] || s.folder.empty()) {
        while (rules->RemoveGroup(kRuleInclude, s.id)) {
        }
        continue;
      }
      if (rules->FindGroup(kRuleInclude, s.id)) continue;
      CRuleGroup* group = rules->AddGroup(kRuleInclude, s.id, "!", true);
      if (!group) {
        ok = false;
        continue;
      }
      group->SetPattern(s.folder);
      if (!group->AddItem("*", "", true)) ok = false;
    }
  }
  return ok;
}

bool BuildRulesFromWizard(CRuleSet* rules, const std::vector<std::string>& folders,
                          const std::vector<std::string>& masks, const WebChoices& choices) {
  if (!rules) return false;
  while (rules->RemoveGroup(kRuleInclude, kGroup1)) {
  }
  CRuleGroup* group = rules->AddGroup(kRuleInclude, kGroup1, "Group1 Text", true);
  if (!group) return false;
  if (folders.size() == 1 && folders[0] == kMyComputerEntry) {
    return group->AddItem("*.*", "") != nullptr;
  }
  bool ok = true;
  std::string lastUpper;
  for (const std::string& folder : folders) {
    if (folder.empty()) continue;
    const std::string upper = plat::ToUpper(folder);
    if (LiesWithin(lastUpper, upper)) continue;
    if (!group->AddItem(folder, folder)) {
      ok = false;
      continue;
    }
    lastUpper = upper;
  }
  for (const std::string& mask : masks) {
    if (mask.empty()) continue;
    if (!group->AddItem(mask, "")) ok = false;
  }
  return ApplyWebChoices(rules, choices) && ok;
}

void WalkChosenSources(CPlan* plan) {
  if (!plan) return;
  const WebChoices choices = ReadWebChoices(plan->GetPlanFolder());
  for (size_t g : kWalkOrder) {
    if (plan->Stopping()) return;
    if (!choices[g]) continue;
    for (const BuiltinSource& source : BuiltinSourcesOfGroup(g)) {
      if (PlanStops(plan)) return;
      WalkSource(plan, source);
    }
  }
}
