#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

/*
 * The state of a folder tree: every file's path relative to the root mapped to the SHA-256
 * of its contents, and every folder's path mapped to "<dir>". Taken before and after an
 * operation, two snapshots compare equal exactly when no file or folder changed.
 */
class FolderSnapshot
{
public:
    /// withModes adds each file's permission flags to its hash.
    static QMap<QString, QByteArray> take(const QString &root, bool withModes = false);
    /// A readable account of what differs between two snapshots, for failure messages.
    static QString describeDifference(
        const QMap<QString, QByteArray> &expected, const QMap<QString, QByteArray> &actual);
};
