// The restore window's search box images.
#pragma once
#include <QIcon>
#include <string>

constexpr char kSearchNormalImage[] = "EditSearch_Normal";
constexpr char kSearchAnimateImage[] = "EditSearch_Animate";  // + "_0" ... "_3"

// The image called name: the program folder's "Icons\<name>.png" when a
// distribution supplies it, otherwise drawn (a magnifier; the animation
// frames turn a blue arc around it a quarter at a time).
QIcon SearchBoxIcon(const std::string& name);
