#include "platform.h"

#include <QDir>
#include <QStandardPaths>

QString Platform::updaterFileName()
{
    return QStringLiteral("updater.exe");
}

QStringList Platform::relocationFiles()
{
    return { QStringLiteral("updater.exe"), QStringLiteral("QtCore4.dll"),
        QStringLiteral("QtGui4.dll"), QStringLiteral("QtNetwork4.dll"),
        QStringLiteral("QtXml4.dll"), QStringLiteral("ssleay32.dll"),
        QStringLiteral("libeay32.dll"), QStringLiteral("msvcm80.dll"),
        QStringLiteral("msvcp80.dll"), QStringLiteral("msvcr80.dll") };
}

QString Platform::quoteProgram(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

QString Platform::appDataFolder()
{
    return appDataFromEnvironment();
}

QString Platform::stateFolder()
{
    const QString appData = appDataFromEnvironment();
    return appData.isEmpty() ? QString() : appData + QStringLiteral("/orvi-updater");
}

QString Platform::tempFolder()
{
    // The user's own temporary folder: private and on disk already.
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

QString Platform::prepareDownloadFolder()
{
    QDir().mkpath(downloadFolder());
    return QString();
}
