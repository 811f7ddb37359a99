#pragma once

#include <QStringList>

/*
 * Opens the roots a recovery changes, each by its real path, and confines the file-system seam
 * to them (Folder::confine) while the object lives: every name below a root is then reached
 * from the opened root, so that a folder in it that is, or becomes, a link leads nowhere else.
 */
class ConfinedRoots
{
public:
    /// Confines each existing folder in roots under the path it is given by; a root that is
    /// missing or cannot be opened is left out.
    explicit ConfinedRoots(const QStringList &roots);
    ~ConfinedRoots();
    ConfinedRoots(const ConfinedRoots &) = delete;
    ConfinedRoots &operator=(const ConfinedRoots &) = delete;

private:
    QStringList m_confined;
};
