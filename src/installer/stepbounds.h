#pragma once

#include "planstep.h"

#include <QString>
#include <QStringList>

/*
 * Tells whether a step read back from a journal stays inside the folders its run could change,
 * so that a planted or edited journal cannot have a recovery move files anywhere else.
 */
class StepBounds
{
public:
    /// Bounds made of the folders roots; empty ones are left out.
    explicit StepBounds(const QStringList &roots);

    /// True when target, backup and temporary of step (those given) each lie below one of the
    /// roots; a path that climbs out with "..", or is not absolute, lies below none.
    bool holds(const PlanStep &step) const;
    /// True when path lies below one of the roots (a root itself is not below it).
    bool holds(const QString &path) const;

private:
    QStringList m_roots;
};
