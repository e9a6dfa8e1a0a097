// A one-line label that never asks for the width of its text: what does not
// fit is drawn cut with an ellipsis (at the end for names, in the middle for
// paths) and its tool tip then starts with the whole text. text() stays the
// whole text. Long plan names and store paths thus never widen a card past
// its window.
#pragma once
#include <QLabel>
#include <QString>

class CElidedLabel : public QLabel {
  Q_OBJECT
 public:
  explicit CElidedLabel(Qt::TextElideMode mode, QWidget* parent = nullptr);

  // The fewest characters shown before the text is cut further (6 unless set).
  void SetMinimumChars(int chars);

  // The text as drawn at the label's present width.
  QString ShownText() const;
  bool IsElided() const { return ShownText() != text(); }
  // What the tool tip shows: the whole text when it is cut, followed by the
  // label's own tool tip.
  QString TipText() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  Qt::TextElideMode mode_;
  int minimumChars_ = 6;
};
