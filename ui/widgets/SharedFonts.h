// The two process-wide fonts windows draw their texts with: "Arial" at a
// height of 17 pixels, normal and bold. Made on first use, kept until exit.
#pragma once
#include <QFont>

const QFont& GetNormalFont();
const QFont& GetBoldFont();
