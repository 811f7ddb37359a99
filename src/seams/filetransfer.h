#pragma once

#include <QString>

/*
 * Puts files in place cheaply. Where source and destination share a file system a file is
 * renamed or given a second name instead of having its bytes copied; elsewhere both fall back
 * to a plain copy with the same result. Neither ever overwrites an existing destination.
 */
class FileTransfer
{
public:
    /// Moves the file from to the name to: a rename where possible, else a copy followed by
    /// the removal of from. False when to exists already or the file could not be written
    /// there; from is then left as it was.
    static bool move(const QString &from, const QString &to);
    /// Gives the file from the additional name to (a hard link), or copies it there where
    /// links are not possible. False when to exists already or the copy failed.
    static bool linkOrCopy(const QString &from, const QString &to);
};
