#include "mainapppaths.h"

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
