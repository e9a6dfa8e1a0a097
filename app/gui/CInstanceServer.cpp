#include "app/gui/CInstanceServer.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

constexpr int kTimeoutMs = 2000;
// Socket paths longer than this do not fit a socket address.
constexpr size_t kMaxSocketPath = 100;

}  // namespace

CInstanceServer::CInstanceServer(QObject* parent)
    : QObject(parent), server_(new QLocalServer(this)) {
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, &CInstanceServer::OnConnection);
}

CInstanceServer::~CInstanceServer() { Close(); }

std::string CInstanceServer::NameFor(const std::string& blockFile) {
  std::string name = blockFile;
  const size_t dot = name.rfind('.');
  const size_t slash = name.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.erase(dot);
  name += ".sock";
  if (!blockFile.empty() && name.size() <= kMaxSocketPath) return name;
  // Too long for a socket path: a short name in Qt's socket folder.
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(blockFile), QCryptographicHash::Sha1);
  return "brevanto-" + hash.toHex().left(24).toStdString();
}

bool CInstanceServer::Listen(const std::string& name) {
  const QString qname = QString::fromStdString(name);
  if (server_->listen(qname)) return true;
  // The caller passed the start-up gate, so no live instance owns the name.
  QLocalServer::removeServer(qname);
  return server_->listen(qname);
}

void CInstanceServer::Close() {
  if (!server_->isListening()) return;
  server_->close();
}

bool CInstanceServer::SendShow(const std::string& name) {
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(name));
  if (!socket.waitForConnected(kTimeoutMs)) return false;
  socket.write("show\n");
  const bool sent = socket.waitForBytesWritten(kTimeoutMs);
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kTimeoutMs);
  return sent;
}

void CInstanceServer::OnConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      // Requests are short lines; anything else is ignored.
      while (socket->canReadLine()) {
        if (socket->readLine(64).trimmed() == "show") emit showRequested();
      }
      if (socket->bytesAvailable() > 64) socket->abort();
    });
  }
}
