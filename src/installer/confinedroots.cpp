#include "confinedroots.h"

#include "folder.h"

#include <QFileInfo>

#include <memory>

ConfinedRoots::ConfinedRoots(const QStringList &roots)
{
    for (const QString &root : roots) {
        // The root itself may be reached through a link, as an installation often is.
        const QString real = root.isEmpty() ? QString() : QFileInfo(root).canonicalFilePath();
        if (real.isEmpty())
            continue;
        auto folder = std::make_shared<Folder>(Folder::open(real));
        if (!folder->isOpen())
            continue;
        Folder::confine(std::move(folder), root);
        m_confined << root;
    }
}

ConfinedRoots::~ConfinedRoots()
{
    for (const QString &root : std::as_const(m_confined))
        Folder::confine(nullptr, root);
}
