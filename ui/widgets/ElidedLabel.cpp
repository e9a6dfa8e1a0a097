#include "ui/widgets/ElidedLabel.h"

#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>
#include <algorithm>

CElidedLabel::CElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {
  setTextFormat(Qt::PlainText);
  setWordWrap(false);
}

void CElidedLabel::SetMinimumChars(int chars) {
  minimumChars_ = std::max(1, chars);
  updateGeometry();
}

QString CElidedLabel::ShownText() const {
  const QFontMetrics fm(font());
  const int room = contentsRect().width() - 2 * margin();
  if (fm.horizontalAdvance(text()) <= room) return text();
  return fm.elidedText(text(), mode_, std::max(0, room));
}

QString CElidedLabel::TipText() const {
  if (!IsElided()) return toolTip();
  if (toolTip().isEmpty() || toolTip() == text()) return text();
  return text() + QLatin1Char('\n') + toolTip();
}

QSize CElidedLabel::sizeHint() const {
  const QFontMetrics fm(font());
  const QMargins m = contentsMargins();
  return QSize(fm.horizontalAdvance(text()) + m.left() + m.right() + 2 * margin(),
               QLabel::sizeHint().height());
}

QSize CElidedLabel::minimumSizeHint() const {
  const QFontMetrics fm(font());
  const QString start = text().left(minimumChars_);
  const int width = start.size() < text().size()
                        ? fm.horizontalAdvance(start) + fm.horizontalAdvance(QChar(0x2026))
                        : fm.horizontalAdvance(text());
  const QMargins m = contentsMargins();
  return QSize(width + m.left() + m.right() + 2 * margin(), QLabel::minimumSizeHint().height());
}

void CElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect box = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
  style()->drawItemText(&painter, box, QStyle::visualAlignment(layoutDirection(), alignment()),
                        palette(), isEnabled(), ShownText(), foregroundRole());
}

bool CElidedLabel::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const QString tip = TipText();
    if (tip.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this);
    }
    return true;
  }
  return QLabel::event(event);
}
