#include "versionnumber.h"

namespace {

bool isDigits(QStringView text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QStringView withoutLeadingZeros(QStringView digits)
{
    while (digits.size() > 1 && digits.front() == QLatin1Char('0'))
        digits = digits.mid(1);
    return digits;
}

int compareParts(QStringView a, QStringView b)
{
    if (isDigits(a) && isDigits(b)) {
        // Compared as digit strings so that no part is too long for a number type.
        a = withoutLeadingZeros(a);
        b = withoutLeadingZeros(b);
        if (a.size() != b.size())
            return a.size() < b.size() ? -1 : 1;
    }
    return a.compare(b);
}

// The part before the next dot, "0" for an empty or missing one. Views instead of a split:
// the update server compares a version for every component of every query.
QStringView nextPart(QStringView *rest, bool *done)
{
    if (*done)
        return QStringView(u"0");
    QStringView part = *rest;
    const qsizetype dot = rest->indexOf(QLatin1Char('.'));
    if (dot < 0) {
        *done = true;
    } else {
        part = rest->left(dot);
        *rest = rest->mid(dot + 1);
    }
    return part.isEmpty() ? QStringView(u"0") : part;
}

} // namespace

int VersionNumber::compare(const QString &a, const QString &b)
{
    QStringView left = QStringView(a).trimmed();
    QStringView right = QStringView(b).trimmed();
    bool leftDone = false;
    bool rightDone = false;
    while (!leftDone || !rightDone) {
        const QStringView x = nextPart(&left, &leftDone);
        const QStringView y = nextPart(&right, &rightDone);
        const int result = compareParts(x, y);
        if (result != 0)
            return result < 0 ? -1 : 1;
    }
    return 0;
}

QByteArray VersionNumber::newer(const QByteArray &a, const QByteArray &b)
{
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() ? b : a;
    return compare(QString::fromUtf8(a), QString::fromUtf8(b)) >= 0 ? a : b;
}
