#pragma once

#include <QString>
#include <QStringList>

/*
 * Whether a path a package carries can be placed on every machine the updater runs on: the
 * updater's own entry-name rule, text the descriptor can hold, and what Windows file systems
 * can hold, for every level of the path.
 */
class PortablePath
{
public:
    /// Why relative ("/" between levels) cannot be carried; empty when it can.
    static QString fault(const QString &relative);
    /// The first two of paths that are one name to a file system that ignores case, "a" and
    /// "A" or "Lib/x" and "lib/x"; empty when there are none.
    static QStringList caseClash(const QStringList &paths);
};
