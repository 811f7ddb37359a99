#include "portablepath.h"

#include "entryname.h"

#include <QCoreApplication>
#include <QHash>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

// Names Windows takes for devices, whatever follows a dot ("nul.txt" too).
bool isDeviceName(const QString &segment)
{
    static const QStringList devices
        = { QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
              QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$") };
    QString stem = segment.left(segment.indexOf(QLatin1Char('.'))).toUpper();
    while (stem.endsWith(QLatin1Char(' ')))
        stem.chop(1);
    if (devices.contains(stem))
        return true;
    // COM0-9 and LPT0-9, and with the superscript digits Windows also takes for devices.
    static const QString digits = QStringLiteral("0123456789\u00b9\u00b2\u00b3");
    return stem.size() == 4
        && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT")))
        && digits.contains(stem.at(3));
}

} // namespace

QString PortablePath::fault(const QString &relative)
{
    for (const QChar c : relative) {
        if (c == QChar::ReplacementCharacter)
            return tr("%1: the name is not valid UTF-8").arg(relative);
        if (c.category() == QChar::Other_Control)
            return tr("%1: a packaged path may not hold a control character").arg(relative);
    }
    if (!EntryName::isSafe(relative))
        return tr("%1: the updater refuses this name (no \":\", \"\\\" or \"..\")").arg(relative);
    static const QString forbidden = QStringLiteral("<>\"|?*");
    for (const QString &segment : relative.split(QLatin1Char('/'))) {
        for (const QChar c : segment) {
            if (forbidden.contains(c))
                return tr("%1: Windows cannot hold a name with %2").arg(relative, c);
        }
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return tr("%1: Windows cannot hold a name ending in a dot or a space").arg(relative);
        if (isDeviceName(segment))
            return tr("%1: %2 is a device name on Windows").arg(relative, segment);
    }
    return QString();
}

QStringList PortablePath::caseClash(const QStringList &paths)
{
    QHash<QString, QString> seen;
    for (const QString &path : paths) {
        const QString folded = path.toCaseFolded();
        const auto found = seen.constFind(folded);
        if (found != seen.cend())
            return { found.value(), path };
        seen.insert(folded, path);
    }
    return {};
}
