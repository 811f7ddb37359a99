#include "mainapppaths.h"

#include <QDir>
#include <QFileInfo>

std::optional<QString> MainAppPaths::rootFolder(const QStringList &arguments)
{
    const qsizetype index = arguments.indexOf(QStringLiteral("-root"));
    if (index < 0 || index + 1 >= arguments.size())
        return std::nullopt;
    return arguments.at(index + 1);
}

QString MainAppPaths::mainAppPath(const QString &rootFolder)
{
    return rootFolder + QStringLiteral("/orvi7.exe");
}

bool MainAppPaths::sameFolder(const QString &a, const QString &b)
{
    const QString realA = QFileInfo(a).canonicalFilePath();
    return !realA.isEmpty() ? realA == QFileInfo(b).canonicalFilePath()
                            : QDir::cleanPath(a) == QDir::cleanPath(b);
}
