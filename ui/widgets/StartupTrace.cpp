#include "ui/widgets/StartupTrace.h"

#include <QByteArray>
#include <QFile>
#include <QString>

void TraceStartup(std::string_view word) {
  const QString path = qEnvironmentVariable("BREVANTO_TRACE_LOG");
  if (path.isEmpty()) return;
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return;
  QByteArray line(word.data(), static_cast<qsizetype>(word.size()));
  line.append('\n');
  file.write(line);
}
