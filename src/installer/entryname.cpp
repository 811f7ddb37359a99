#include "entryname.h"

#include <QStringList>

bool EntryName::isSafe(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return false;
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':'))
        || name.contains(QChar(0)))
        return false;
    const QStringList segments = name.split(QLatin1Char('/'));
    return !segments.contains(QLatin1String(".."));
}
