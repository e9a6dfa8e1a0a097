#pragma once

// Files whose names the store cannot hold: each is told once per plan and
// run of the program (kEvNotProtected) and counted in the plan; links to
// folders the walks do not follow, told once per plan across runs.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files/UnheldNames.h"

class CPlan;
class CSimplePlan;
class PlanList;

// Tells the plan when its rules take the folder's files (the name is matched
// through a stand-in a system path can carry). True when it was told now.
bool ReportNotProtected(CPlan* plan, const plat::UnheldName& unheld);
// Links to folders in one folder that lead out of what the plan protects
// (name and where it leads): each is counted in the plan, and said once per
// plan while it leads there (remembered across starts); past the lines cap
// of a folder one line says how many more there are. unnamed: more such
// links whose names the walk did not keep.
struct LinkedFolder {
  std::string name;
  std::string target;
};
void ReportLinkedFolders(CSimplePlan* plan, const std::string& folder,
                         const std::vector<LinkedFolder>& links, uint64_t unnamed);
// Lines said per folder before the "and N more" line (tests set it small).
void SetLinkedFolderLinesCap(size_t cap);
// The same for every plan of the list.
void OfferNotProtected(PlanList& list, const plat::UnheldName& unheld);
// Notes anew the files held back for their privacy that other users here
// may read now (a folder above them opened: its chmod reports no file).
void ReofferOpenedFiles(CPlan* plan);
