#include "folder.h"

#include <QDir>

#include <algorithm>
#include <utility>

Folder::Folder(Folder &&other) noexcept
    : m_path(std::move(other.m_path))
    , m_handle(std::exchange(other.m_handle, -1))
    , m_open(std::exchange(other.m_open, false))
{
}

Folder &Folder::operator=(Folder &&other) noexcept
{
    if (this != &other) {
        Folder old(std::move(*this));
        m_path = std::move(other.m_path);
        m_handle = std::exchange(other.m_handle, -1);
        m_open = std::exchange(other.m_open, false);
    }
    return *this;
}

bool Folder::isOpen() const
{
    return m_open;
}

namespace {
struct Confined
{
    std::shared_ptr<const Folder> folder;
    // Clean, with a trailing slash.
    QString path;
};

QVector<Confined> &confinedFolders()
{
    static QVector<Confined> folders;
    return folders;
}

// File names are compared as the file system does; Windows ignores case.
constexpr Qt::CaseSensitivity nameCase =
#ifdef Q_OS_WIN
    Qt::CaseInsensitive;
#else
    Qt::CaseSensitive;
#endif

QString cleanFolderPath(const QString &path)
{
    QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    if (!clean.endsWith(QLatin1Char('/')))
        clean += QLatin1Char('/');
    return clean;
}

// The innermost confined folder that holds path, and path relative to it; none when no
// confined folder does.
const Folder *confinedFolder(const QString &path, QString *relative)
{
    if (confinedFolders().isEmpty() || !QDir::isAbsolutePath(path))
        return nullptr;
    const QString clean = cleanFolderPath(path);
    const Confined *found = nullptr;
    for (const Confined &confined : std::as_const(confinedFolders())) {
        if (clean.startsWith(confined.path, nameCase)
            && (!found || confined.path.size() > found->path.size()))
            found = &confined;
    }
    if (!found)
        return nullptr;
    *relative = clean.mid(found->path.size());
    relative->chop(1);
    return found->folder.get();
}
} // namespace

void Folder::confine(std::shared_ptr<const Folder> folder, const QString &path)
{
    const QString clean = cleanFolderPath(path);
    QVector<Confined> &folders = confinedFolders();
    folders.erase(
        std::remove_if(folders.begin(), folders.end(),
            [&](const Confined &confined) { return confined.path.compare(clean, nameCase) == 0; }),
        folders.end());
    if (folder && folder->isOpen())
        folders.append({ std::move(folder), clean });
}

Folder::Place Folder::reach(const QString &path)
{
    QString relative;
    if (const Folder *folder = confinedFolder(path, &relative))
        return folder->place(relative);
    return Place(path);
}

Folder Folder::open(const QString &path)
{
    QString relative;
    if (const Folder *folder = confinedFolder(path, &relative)) {
        Folder opened = folder->openFolder(relative);
        // Messages name the folder as the caller did.
        opened.m_path = path;
        return opened;
    }
    return openByName(path);
}
