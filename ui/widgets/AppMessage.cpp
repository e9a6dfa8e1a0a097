#include "ui/widgets/AppMessage.h"

#include <QFile>
#include <QString>

#include "common/Texts.h"

void ShowAppMessage(const std::string& text, QMessageBox::Icon icon) {
  const QString log = qEnvironmentVariable("BREVANTO_MESSAGE_LOG");
  if (!log.isEmpty()) {
    QFile file(log);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
      QByteArray line = QByteArray::fromStdString(text);
      line.replace('\r', ' ').replace('\n', ' ');
      line.append('\n');
      file.write(line);
    }
    return;
  }
  QMessageBox box(icon, QString::fromStdString(GetProductName()), QString::fromStdString(text),
                  QMessageBox::Ok);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.show();
  box.raise();
  box.activateWindow();
  box.exec();
}
