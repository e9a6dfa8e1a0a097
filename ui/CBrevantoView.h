// The main view inside the main frame. For now it shows a header and a
// placeholder where the plan list will be drawn.
#pragma once
#include <QWidget>

class CBrevantoView : public QWidget {
  Q_OBJECT
 public:
  // Runs the engine start-up routine before any widget is built.
  explicit CBrevantoView(QWidget* parent = nullptr);
};
