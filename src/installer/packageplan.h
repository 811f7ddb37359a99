#pragma once

#include "packagedescriptor.h"
#include "planstep.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QVector>

/*
 * The changes a package's file list makes below its root, worked out before anything
 * changes: each target that exists is backed up under a name of its own in the unwind folder,
 * each missing folder is made, each payload is moved into place at its last use. Planning
 * only looks at the disk; a plan that cannot be carried out safely is refused as a whole.
 */
class PackagePlan
{
public:
    /// What a plan is made from besides the descriptor's file list.
    struct Input
    {
        /// Where the package's files go.
        QString rootFolder;
        /// Where the payloads were extracted.
        QString packageFolder;
        /// Where backups go.
        QString unwindFolder;
        /// Files whose names begin with it are never placed: "project_name_type".
        QString updatePrefix;
        /// Backup names taken by earlier packages of the run.
        QSet<QString> takenBackups;
        /// The Unix modes the archive records, by the clean absolute path of each payload.
        QHash<QString, int> entryModes;
    };

    /// Plans files for input; never changes anything on disk. A refused plan has no steps and
    /// an errorText() that says why.
    static PackagePlan make(const QList<PackageDescriptor::File> &files, const Input &input);

    /// The changes, in the order they are to be made.
    const QVector<PlanStep> &steps() const { return m_steps; }
    bool isValid() const { return m_errorText.isEmpty(); }
    /// What the user is told about a refused plan.
    QString errorText() const { return m_errorText; }

    /// One form for every path that is compared: absolute, "." and ".." resolved, "/" only.
    static QString cleanAbsolutePath(const QString &path);
    /// True when cleanPath lies below cleanFolder (not at it); both in cleanAbsolutePath form.
    static bool isBelow(const QString &cleanPath, const QString &cleanFolder);

private:
    QVector<PlanStep> m_steps;
    QString m_errorText;
};
