#pragma once

#include <QString>

/*
 * The mark an update run leaves in the application folder while it changes it, naming the
 * run's user. Another user's start that finds it without a live run knows that the folder
 * may be half replaced and that only that user's journal can restore it. It goes when the run
 * ends or is undone; a crash leaves it.
 */
class RunMarker
{
public:
    /// The marker's path in appFolder.
    static QString path(const QString &appFolder);
    /// Writes the marker naming this process's user, durably; false, with the system's reason
    /// in errorText and nothing left behind, when it cannot be.
    static bool place(const QString &appFolder, QString *errorText);
    /// Removes the marker, and what an unfinished write of it left, if any.
    static void remove(const QString &appFolder);
    /// The user the marker in appFolder names; empty when there is none.
    static QString owner(const QString &appFolder);
};
