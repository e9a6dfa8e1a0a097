#include "ui/widgets/TextFormat.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <cctype>
#include <cstring>
#include <vector>

#include "common/Texts.h"

std::string FormatText(std::string_view pattern, std::initializer_list<std::string> values) {
  const std::vector<std::string> args(values);
  size_t next = 0;
  std::string out;
  out.reserve(pattern.size() + 32);
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Flags, width, precision and length, then the conversion letter.
    size_t j = i + 1;
    while (j < pattern.size() && std::strchr("-+ #0123456789.lhLIqjzt", pattern[j]) != nullptr) {
      ++j;
    }
    if (j < pattern.size() && std::isalpha(static_cast<unsigned char>(pattern[j])) != 0) {
      if (next < args.size()) out += args[next];
      ++next;
      i = j;
    } else {
      out += c;  // a lone percent sign stays as it is
    }
  }
  return out;
}

namespace {

QString DateTimeFormat(bool withSeconds) {
  QString format = QLocale().dateTimeFormat(QLocale::ShortFormat);
  // Short forms often carry a two-digit year ("M/d/yy h:mm AP").
  if (!format.contains(QLatin1String("yyyy")))
    format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
  // Seconds tell apart two versions saved within one minute; a backup
  // time needs none.
  if (!withSeconds)
    format.remove(QLatin1String(":ss"));
  else if (!format.contains(QLatin1String("ss")))
    format.replace(QLatin1String("mm"), QLatin1String("mm:ss"));
  return format;
}

std::string LocaleText(const QDateTime& when, bool withSeconds) {
  if (!when.isValid() || when.date().year() > 9999) return {};
  return QLocale().toString(when, DateTimeFormat(withSeconds)).toStdString();
}

}  // namespace

std::string LocaleDateTime(int64_t t, bool withSeconds) {
  // 253402300799 is the last second of the year 9999 (UTC).
  if (t <= 0 || t > 253402300799LL) return {};
  return LocaleText(QDateTime::fromSecsSinceEpoch(t), withSeconds);
}

std::string LocaleDateTime(int year, int month, int day, int hour, int minute, int second,
                           bool withSeconds) {
  const QDate date(year, month, day);
  const QTime time(hour, minute, second);
  if (!date.isValid() || !time.isValid()) return {};
  return LocaleText(QDateTime(date, time), withSeconds);
}

std::string LocaleDateTimeFormat(bool withSeconds) {
  return DateTimeFormat(withSeconds).toStdString();
}

std::string LocaleTimeOfDay(int64_t t) {
  const QLocale locale;
  QString format = locale.timeFormat(QLocale::ShortFormat);
  if (!format.contains(QLatin1String("ss")))
    format.replace(QLatin1String("mm"), QLatin1String("mm:ss"));
  return locale.toString(QDateTime::fromSecsSinceEpoch(t).time(), format).toStdString();
}

std::string LocaleLongDate(int64_t t) {
  return QLocale()
      .toString(QDateTime::fromSecsSinceEpoch(t).date(), QLocale::LongFormat)
      .toStdString();
}

int64_t LocalDaysBefore(int64_t t, int64_t now) {
  return QDateTime::fromSecsSinceEpoch(t).date().daysTo(QDateTime::fromSecsSinceEpoch(now).date());
}

std::string LocaleNumber(uint64_t n) {
  return QLocale().toString(static_cast<qulonglong>(n)).toStdString();
}

std::string CountText(std::string_view noun, uint64_t n) {
  std::string key(noun);
  if (n == 1) {
    const std::string one = GetText("COUNTS", key + "_ONE");
    if (!one.empty()) return FormatText(one, {LocaleNumber(n)});
  }
  return FormatText(GetText("COUNTS", key), {LocaleNumber(n)});
}
