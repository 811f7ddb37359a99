#pragma once

#include <QString>
#include <QStringList>

#include <optional>

/// Where the main application lies: the folder given with "-root" and its executable.
class MainAppPaths
{
public:
    /// The argument after the first exact "-root" in arguments; none when "-root" is missing
    /// or is the last argument.
    static std::optional<QString> rootFolder(const QStringList &arguments);
    /// The main application's executable in rootFolder; packages and the main application
    /// rely on the name "orvi7.exe" on every system.
    static QString mainAppPath(const QString &rootFolder);
    /// True when a and b name one folder: the same real path where a exists, the same clean
    /// path otherwise.
    static bool sameFolder(const QString &a, const QString &b);
};
