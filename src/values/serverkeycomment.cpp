#include "serverkeycomment.h"

#include <QList>
#include <QRegularExpression>

namespace {
const char timeFormat[] = "yyyy-MM-dd'T'HH:mm:ss'Z'";
} // namespace

QByteArray ServerKeyComment::toText() const
{
    return QByteArray(prefix) + " key=" + keyId.toLatin1()
        + " expires=" + expires.toUTC().toString(QLatin1String(timeFormat)).toLatin1();
}

bool ServerKeyComment::fromText(const QByteArray &text, ServerKeyComment *comment)
{
    static const QRegularExpression pattern(
        QStringLiteral("^orvi-server-key key=([0-9A-Fa-f]{16}) "
                       "expires=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return false;
    // Read in UTC directly: local time would lose an hour that a change to summer time skips.
    const QString time = match.captured(2);
    const QDateTime expires(QDate::fromString(time.left(10), Qt::ISODate),
        QTime::fromString(time.mid(11, 8), Qt::ISODate), Qt::UTC);
    if (!expires.isValid())
        return false;
    comment->keyId = match.captured(1).toUpper();
    comment->expires = expires;
    return true;
}
