#include "platform.h"

#include <QStandardPaths>

QString Platform::updaterFileName()
{
    return QStringLiteral("updater");
}

QStringList Platform::relocationFiles()
{
    // The Qt libraries come from the system here, so the executable alone runs anywhere.
    return { updaterFileName() };
}

QString Platform::quoteProgram(const QString &path)
{
    // The detached start takes the program as one argument here; quotes would become part of it.
    return path;
}

QString Platform::appDataFolder()
{
    const QString appData = appDataFromEnvironment();
    if (!appData.isEmpty())
        return appData;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}
