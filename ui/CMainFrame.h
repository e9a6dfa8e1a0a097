// The main window: caption, placement, the notification icon and the exit
// command. Closing it by its close button only hides it while a notification
// icon can bring it back.
#pragma once
#include <QMainWindow>

class CBrevantoView;
class CTrayIcon;

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  // Created hidden; placed at the stored position when there is one.
  explicit CMainFrame(QWidget* parent = nullptr);
  ~CMainFrame() override;

  CBrevantoView* View() const { return view_; }
  CTrayIcon* Tray() const { return tray_; }

  // Restores the window when minimised, shows it and brings it to the front.
  void ShowFromTray();
  // Asks for confirmation when configured, stores the position, removes the
  // notification icon and posts the close that ends the program.
  void ExitCommand();
  bool IsExiting() const { return exiting_; }

 signals:
  // The frame closed for good (after the exit command).
  void frameClosed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void PlaceAtStoredPosition();

  CBrevantoView* view_;
  CTrayIcon* tray_;
  bool exiting_ = false;
};
