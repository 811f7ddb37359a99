#include "catalogueentry.h"

QString CatalogueEntry::signatureFileName() const
{
    return package + QLatin1String(".minisig");
}

bool CatalogueEntry::isComponent(
    const QString &otherProject, const QString &otherName, const QString &otherType) const
{
    return project == otherProject && name == otherName && type == otherType;
}

bool CatalogueEntry::isValidPackageName(const QString &name)
{
    // The updater stores the package under the link's path in its download folder and finds
    // the descriptor by cutting the last four characters, so only "<stem>.zip" in one segment
    // works there.
    if (name.size() <= 4 || !name.endsWith(QLatin1String(".zip")))
        return false;
    if (name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':')
            || c == QLatin1Char('%') || c == QLatin1Char('?') || c == QLatin1Char('#')
            || c.unicode() < 0x20 || c.unicode() > 0x7e || c == QLatin1Char(' '))
            return false;
    }
    return true;
}
