#include "platform.h"

#include "folder.h"
#include "relocationfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <windows.h>

QString Platform::updaterFileName()
{
    return QStringLiteral("updater.exe");
}

QStringList Platform::relocationFiles()
{
    return RelocationFiles::list();
}

QString Platform::systemSearchPath()
{
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return QString();
    const QString root = QString::fromWCharArray(windows, int(length));
    return QStringList { root + QStringLiteral("\\System32"), root,
        root + QStringLiteral("\\System32\\Wbem") }
        .join(QLatin1Char(';'));
}

QString Platform::quoteProgram(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

QString Platform::userName()
{
    wchar_t name[256 + 1];
    DWORD size = DWORD(std::size(name));
    if (!GetUserNameW(name, &size) || size == 0)
        return qEnvironmentVariable("USERNAME");
    return QString::fromWCharArray(name, int(size - 1));
}

bool Platform::replaceableInPlace(const QString &path)
{
    return !path.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)
        && !path.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive);
}

QString Platform::appDataFolder()
{
    // Windows writes it with backslashes; every path compared with it has forward slashes.
    return QDir::fromNativeSeparators(appDataFromEnvironment());
}

QString Platform::stateFolder()
{
    const QString appData = appDataFolder();
    return appData.isEmpty() ? QString() : appData + QStringLiteral("/orvi-updater");
}

QString Platform::tempFolder()
{
    // The user's own temporary folder: private and on disk already.
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

QString Platform::prepareDownloadFolder(Folder *opened, Folder *scratch)
{
    QDir().mkpath(downloadFolder());
    // A junction or link in place of either folder would send the files elsewhere.
    Folder above = Folder::open(tempFolder());
    Folder folder = above.isOpen() ? above.openFolder(QStringLiteral("tupdates")) : Folder();
    if (!above.isOpen())
        folder = std::move(above);
    if (!folder.isOpen())
        return QCoreApplication::translate("translation",
            "The update cannot run: the folder %1 is a link, belongs to another user or can "
            "be changed by other users. Remove it and start the update again.",
            "nc")
            .arg(folder.path());
    if (opened)
        *opened = std::move(folder);
    if (scratch)
        *scratch = std::move(above);
    return QString();
}

QString Platform::prepareStateFolder()
{
    // Below the user's own application-data folder, which no other user can reach.
    const QString state = stateFolder();
    if (!state.isEmpty())
        QDir().mkpath(state);
    return QString();
}
