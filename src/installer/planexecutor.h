#pragma once

#include "planstep.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

/*
 * Moves files as the steps of one package's plan say: forward in order, back last first. The
 * recovery of an interrupted run undoes the steps its journal recorded here too, so every undo
 * looks at what is on disk: undoing a step that never ran, or undoing twice, changes nothing.
 */
class PlanExecutor
{
public:
    /// Told how many steps an undo has gone through so far.
    using Progress = std::function<void(int undone)>;

    /// An executor of steps whose payloads and backups lie below packageFolder. Every payload
    /// placed gets the Unix mode PayloadMode works out, or flags instead when they are not 0
    /// (for Windows, which keeps no modes).
    PlanExecutor(
        const QVector<PlanStep> &steps, const QString &packageFolder, QFile::Permissions flags);

    /// Readies the package folder for perform(): the folders the backups go to and the modes of
    /// the payloads. Nothing below a root changes. False at the first failure, errorText() says
    /// what the user is told.
    bool prepare();
    /// Makes every step in order, then makes the changes durable. False at the first failure,
    /// errorText() says what the user is told; the steps made so far stay for undo().
    bool perform();
    /// Undoes what perform() made; see the static undo().
    QStringList undo() const { return undo(m_steps, m_done); }
    /// What the user is told about the last failure.
    QString errorText() const { return m_errorText; }

    /// Undoes steps, last first, and goes on past failures. The result names every backup
    /// that could not be put back (it stays where it is) and every created file or folder
    /// that could not be removed; empty when the undo is complete. The first done steps are
    /// known to have been made: a backup missing for one of them is a failure too. progress,
    /// when given, is told after each step; each changed folder is synced once at the end.
    static QStringList undo(
        const QVector<PlanStep> &steps, int done = 0, const Progress &progress = Progress());

private:
    bool readyPayload(const PlanStep &step, int creationMask) const;
    bool performStep(const PlanStep &step);
    /// Renames the target to its backup (a copy across file systems).
    static bool moveAside(const PlanStep &step);
    /// Gives the target its backup's name as well (a copy where no link can be made), so that
    /// the target stays in place until something is renamed over it.
    static bool keepAside(const PlanStep &step);
    static bool copyAside(const PlanStep &step);
    static bool place(const PlanStep &step);

    QVector<PlanStep> m_steps;
    QString m_packageFolder;
    QFile::Permissions m_flags;
    // How many steps are known to be made.
    int m_done = 0;
    QString m_errorText;
};
