// Before files go back to their original places: the question about files
// there that are newer than the versions chosen (replace them, restore the
// chosen versions beside them, or cancel).
#pragma once
#include <string>
#include <vector>

#include "history/VersionTree.h"

class QWidget;

// Asks when some of the choices' original places hold a newer file; a
// choice restored beside one gets its restoreName. False when the user
// cancelled (nothing is to be restored).
bool SettleNewerFiles(QWidget* parent, const std::string& storeFolder,
                      std::vector<RestoreChoice>* choices);
