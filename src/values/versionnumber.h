#pragma once

#include <QByteArray>
#include <QString>

/*
 * The order of component versions. A version is split at its dots; parts are compared
 * from the left, as numbers when both are made of digits only (so 1.10 is newer than 1.9),
 * otherwise as text. A missing part counts as 0, so 2 and 2.0 are the same version.
 */
class VersionNumber
{
public:
    /// Negative when a is older than b, 0 when they are the same version, positive when newer.
    static int compare(const QString &a, const QString &b);
    /// The newer of two UTF-8 versions; an empty one counts as none, so that the other wins.
    static QByteArray newer(const QByteArray &a, const QByteArray &b);
};
