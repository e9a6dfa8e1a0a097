#pragma once

// Files whose names the store cannot hold: each is told once per plan and
// run of the program (kEvNotProtected) and counted in the plan.

#include "platform/files/UnheldNames.h"

class CPlan;
class PlanList;

// Tells the plan when its rules take the folder's files (the name is matched
// through a stand-in a system path can carry). True when it was told now.
bool ReportNotProtected(CPlan* plan, const plat::UnheldName& unheld);
// The same for every plan of the list.
void OfferNotProtected(PlanList& list, const plat::UnheldName& unheld);
// Notes anew the files held back for their privacy that everyone here may
// read now (a folder above them opened: its chmod reports no file).
void ReofferOpenedFiles(CPlan* plan);
