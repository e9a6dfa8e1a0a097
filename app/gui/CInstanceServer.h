// The running instance's "window handle": a local socket on which it accepts
// "show" from later starts. The socket lies beside the instance block, so it
// is unique per user and executable.
#pragma once
#include <QObject>
#include <QString>
#include <string>

class QLocalServer;

class CInstanceServer : public QObject {
  Q_OBJECT
 public:
  explicit CInstanceServer(QObject* parent = nullptr);
  ~CInstanceServer() override;

  // Socket name for an instance block file (native path).
  static std::string NameFor(const std::string& blockFile);
  // Starts accepting; a socket file left by a dead instance is replaced.
  bool Listen(const std::string& name);
  void Close();
  // Asks the instance listening on name to show itself; false when no
  // instance answered.
  static bool SendShow(const std::string& name);

 signals:
  void showRequested();

 private:
  void OnConnection();

  QLocalServer* server_;
};
