#include "ui/widgets/SharedFonts.h"

namespace {

QFont MakeFont(QFont::Weight weight) {
  QFont font(QStringLiteral("Arial"));
  // Where Arial is missing, the closest sans-serif face stands in.
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(17);
  font.setWeight(weight);
  return font;
}

}  // namespace

const QFont& GetNormalFont() {
  static const QFont font = MakeFont(QFont::Normal);
  return font;
}

const QFont& GetBoldFont() {
  static const QFont font = MakeFont(QFont::Bold);
  return font;
}
