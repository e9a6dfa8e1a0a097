#include "ui/widgets/SearchIcon.h"

#include <QPainter>
#include <QPixmap>

#include "ui/widgets/StyleSheet.h"

QIcon SearchBoxIcon(const std::string& name) {
  QIcon icon = ImageIcon("Icons", name.c_str());
  if (!icon.isNull()) return icon;
  const int frame = name == kSearchNormalImage ? -1 : name.back() - '0';
  QPixmap pixmap(40, 40);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor slate(91, 103, 115), blue(31, 111, 178);
  p.setPen(QPen(frame < 0 ? slate : blue, 3.4, Qt::SolidLine, Qt::RoundCap));
  p.drawEllipse(QRectF(7, 7, 19, 19));
  p.drawLine(QPointF(24, 24), QPointF(33, 33));
  if (frame >= 0) {
    p.setPen(QPen(QColor(120, 180, 230), 3.4, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(7, 7, 19, 19), (90 - frame * 90) * 16, 80 * 16);
  }
  p.end();
  pixmap.setDevicePixelRatio(2.0);
  return QIcon(pixmap);
}
