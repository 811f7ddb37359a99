#include "serverlog.h"

#include <QDateTime>

#include <cstdio>

void ServerLog::write(const QString &line)
{
    const QString stamped = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)
        + QLatin1Char(' ') + line + QLatin1Char('\n');
    const QByteArray bytes = stamped.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}
