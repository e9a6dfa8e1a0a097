// The notification-area icon and its menu. On a desktop without a
// notification area no icon is shown, but the menu and its actions still
// exist, so the rest of the program works the same.
#pragma once
#include <QObject>
#include <QString>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

class CTrayIcon : public QObject {
  Q_OBJECT
 public:
  explicit CTrayIcon(QObject* parent = nullptr);
  ~CTrayIcon() override;

  // True while an icon is shown in a notification area.
  bool IsShown() const;
  // Deletes the icon (at exit); the menu stays usable.
  void Remove();
  void SetTooltip(const QString& text);

  QMenu* Menu() const { return menu_.get(); }
  QAction* ShowAction() const { return showAction_; }
  QAction* ExitAction() const { return exitAction_; }

 signals:
  void showRequested();
  void exitRequested();

 private:
  std::unique_ptr<QMenu> menu_;
  QAction* showAction_ = nullptr;
  QAction* exitAction_ = nullptr;
  QSystemTrayIcon* icon_ = nullptr;  // null without a notification area
};
