#include "platform.h"

#include "filesystem.h"
#include "folder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

QString Platform::updaterFileName()
{
    return QStringLiteral("updater");
}

QStringList Platform::relocationFiles()
{
    // The Qt libraries come from the system here, so the executable alone runs anywhere.
    return { updaterFileName() };
}

QString Platform::systemSearchPath()
{
    // Libraries are found by the dynamic linker's own rules here, not through PATH.
    return QString();
}

QString Platform::quoteProgram(const QString &path)
{
    // The detached start takes the program as one argument here; quotes would become part of it.
    return path;
}

QString Platform::userName()
{
    const uid_t uid = ::geteuid();
    const struct passwd *account = ::getpwuid(uid);
    const QString name = account ? QString::fromLocal8Bit(account->pw_name) : QString();
    return (name.isEmpty() ? QString() : name + QLatin1Char(' '))
        + QStringLiteral("(uid %1)").arg(uid);
}

bool Platform::replaceableInPlace(const QString &)
{
    return true;
}

QString Platform::appDataFolder()
{
    const QString appData = appDataFromEnvironment();
    if (!appData.isEmpty())
        return appData;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString Platform::tempFolder()
{
    // Not the shared temporary folder: another user could create the folder there first, and
    // many systems keep it in memory, which a power loss would take the backups with.
    QString cache = QString::fromLocal8Bit(qgetenv("XDG_CACHE_HOME"));
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache))
        cache = QDir::homePath() + QStringLiteral("/.cache");
    return cache + QStringLiteral("/orvi-updater");
}

QString Platform::stateFolder()
{
    QString state = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME"));
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/orvi-updater");
}

namespace {
QString unsafeFolder(const QString &folder)
{
    return QCoreApplication::translate("translation",
        "The update cannot run: the folder %1 is a link, belongs to another user or can "
        "be changed by other users. Remove it and start the update again.",
        "nc")
        .arg(folder);
}

// A folder above the download folder: whoever may rename what is in it could swap the
// download folder for another after any check.
bool isSafeAbove(const Folder::Status &status)
{
    return (status.ownedByUser || status.ownedByRoot)
        && (!status.writableByOthers || status.sticky);
}

// Creates folder private to the user where missing; the reason it must not be used otherwise.
QString preparePrivateFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return QCoreApplication::translate("translation", "Cannot create the folder %1 (%2).", "nc")
            .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    struct stat status;
    if (::lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode)
        || status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return unsafeFolder(folder);
    return QString();
}
} // namespace

QString Platform::prepareDownloadFolder(Folder *opened, Folder *scratch)
{
    const QString scratchPath = tempFolder();
    const QString download = downloadFolder();
    const QString home = QFileInfo(scratchPath).path();
    QDir().mkpath(home);
    // Resolved once; from here on every folder is reached from the one above it, never by name.
    const QString real = QFileInfo(home).canonicalFilePath();
    if (real.isEmpty())
        return QCoreApplication::translate("translation", "Cannot create the folder %1 (%2).", "nc")
            .arg(home, QString::fromLocal8Bit(std::strerror(ENOENT)));
    Folder folder = Folder::open(QStringLiteral("/"));
    QString reached;
    for (const QString &name : real.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!isSafeAbove(folder.status()))
            return unsafeFolder(reached.isEmpty() ? QStringLiteral("/") : reached);
        reached += QLatin1Char('/') + name;
        folder = folder.openFolder(name);
    }
    if (!isSafeAbove(folder.status()))
        return unsafeFolder(reached.isEmpty() ? QStringLiteral("/") : reached);
    Folder above;
    for (const QString &path : { scratchPath, download.chopped(1) }) {
        const QString name = QFileInfo(path).fileName();
        if (!folder.makeFolder(name, true) && FileSystem::kindOf(path) == FileSystem::Kind::Missing)
            return QCoreApplication::translate(
                "translation", "Cannot create the folder %1 (%2).", "nc")
                .arg(path, FileSystem::errorText());
        above = std::exchange(folder, folder.openFolder(name));
        const Folder::Status status = folder.status();
        if (!status.ownedByUser || status.writableByOthers)
            return unsafeFolder(path);
    }
    if (opened)
        *opened = std::move(folder);
    if (scratch)
        *scratch = std::move(above);
    return QString();
}

QString Platform::prepareStateFolder()
{
    const QString state = stateFolder();
    QDir().mkpath(QFileInfo(state).path());
    return preparePrivateFolder(state);
}
