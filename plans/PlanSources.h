// What a plan backs up, from the wizard's answers in its "UI.ini": the plan
// type, the include group "group1", the built-in sources (mail, browser and
// messenger folders, the user's folders) and their walk.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CPlan;
class CRuleSet;

// The "My Computer" entry of a folder list.
extern const char* const kMyComputerEntry;

// Order: My Music, My Pictures, My Documents, Internet Explorer, Firefox,
// Netscape, Opera, Outlook, Outlook Express, Windows Mail, Windows Live Mail,
// Messengers.
using WebChoices = std::array<bool, 12>;

struct BuiltinSource {
  std::string id;      // "orl:my_documents"
  std::string folder;  // system path; empty when this machine has none
};

// Built once at start-up; later calls return the same table.
void BuildBuiltinSources();
// Forgets the table so that the next use builds it again (tests that move
// the user's folders).
void ResetBuiltinSources();
// Sources of group g (index in WebChoices order).
std::vector<BuiltinSource> BuiltinSourcesOfGroup(size_t group);

// Plan types (settings prefixes of the default plans in brackets).
enum PlanType : int32_t {
  kPlanVideos = 0,              // "Videos_"
  kPlanSoundsAndMusic = 1,      // "SoundsAndMusic_"
  kPlanPicturesAndPhotos = 2,   // "PicturesAndPhotos_"
  kPlanOfficeDocuments = 3,     // "OfficeDocuments_"
  kPlanAllMyDocuments = 4,      // "AllMyDocuments_"
  kPlanAllMyWebSettings = 5,    // "AllMyWebSettings_"
  kPlanSpecificFolder = 6,      // "SpecificFolder_"
  kPlanSpecificExtensions = 7,  // "SpecificExtensions_"
  kPlanOther = 8,               // "OtherPlanTypes_"
};

// Plan folder (ending in "" or not) -> 0 .. 8 from its "UI.ini".
int32_t GetPlanType(std::string_view planFolder);
// A "FolderList" value of the wizard: parts separated by ",", empty ones left out.
std::vector<std::string> SplitFolderList(std::string_view list);
WebChoices ReadWebChoices(std::string_view planFolder);
bool ApplyWebChoices(CRuleSet* rules, const WebChoices& choices);
bool BuildRulesFromWizard(CRuleSet* rules, const std::vector<std::string>& folders,
                          const std::vector<std::string>& masks, const WebChoices& choices);
// The built-in source step of a plan's first backup; stops when the plan stops.
void WalkChosenSources(CPlan* plan);
