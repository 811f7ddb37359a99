#pragma once

#include <QString>

/*
 * The rule every name a package places goes by: an archive entry, or a descriptor's path and
 * name joined by "/". The installer refuses a package with a name that breaks it, and the
 * package builder refuses to make one.
 */
class EntryName
{
public:
    /// True when name stays below the folder it is extracted into: no ".." segment, no
    /// leading "/", no drive prefix or other ":", no backslash, no NUL, not empty.
    static bool isSafe(const QString &name);
};
