// The notification icon lives in the main frame (CTrayWnd); this header is
// kept for files that still include it under its former name.
#pragma once
#include "ui/CMainFrame.h"
