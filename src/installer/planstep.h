#pragma once

#include <QString>

/*
 * One change a package makes below its root. The plan, its execution, its undo and the
 * installation journal all speak of changes in this one record; the journal keeps the kind,
 * target, backup and temporary fields, which are all an undo needs.
 */
struct PlanStep
{
    enum class Kind {
        /// target did not exist; the payload is placed there.
        Create,
        /// target is moved to backup, then the payload placed there.
        Replace,
        /// target is moved to backup.
        Remove,
        /// target, placed earlier by the same package, is replaced or removed again.
        Overwrite,
        /// the folder target is created.
        Folder,
    };
    Kind kind = Kind::Create;
    QString target;
    QString backup;
    /// The name a copy takes beside target before it is renamed over it.
    QString temporary;
    /// The payload placed at target; empty for a step that places nothing.
    QString source;
    /// The Unix mode the payload's archive entry records; -1 when it records none.
    int entryMode = -1;
    /// A later step places the same payload: this one copies it instead of moving it.
    bool keepSource = false;
    /// The file as the package descriptor names it ("path/name"), for messages.
    QString named;
};
