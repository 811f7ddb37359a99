#include "versionnumber.h"

#include <QStringList>

namespace {

bool isDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

int compareParts(const QString &a, const QString &b)
{
    if (isDigits(a) && isDigits(b)) {
        // Compared as digit strings so that no part is too long for a number type.
        QString x = a;
        QString y = b;
        while (x.size() > 1 && x.startsWith(QLatin1Char('0')))
            x.remove(0, 1);
        while (y.size() > 1 && y.startsWith(QLatin1Char('0')))
            y.remove(0, 1);
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        return x.compare(y);
    }
    return a.compare(b);
}

} // namespace

int VersionNumber::compare(const QString &a, const QString &b)
{
    const QStringList left = a.trimmed().split(QLatin1Char('.'));
    const QStringList right = b.trimmed().split(QLatin1Char('.'));
    const qsizetype count = qMax(left.size(), right.size());
    const QString zero = QStringLiteral("0");
    for (qsizetype i = 0; i < count; ++i) {
        const QString x = i < left.size() && !left.at(i).isEmpty() ? left.at(i) : zero;
        const QString y = i < right.size() && !right.at(i).isEmpty() ? right.at(i) : zero;
        const int result = compareParts(x, y);
        if (result != 0)
            return result < 0 ? -1 : 1;
    }
    return 0;
}
