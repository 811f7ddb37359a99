#include "applicationfolder.h"

#include "testenvironment.h"

#include <QDir>
#include <QFile>

bool ApplicationFolder::make(const QString &folder, const QByteArray &contents)
{
    return TestEnvironment::writeFile(mainProgram(folder), contents);
}

bool ApplicationFolder::makeWithSample(const QString &folder)
{
#ifdef ORVI_SAMPLE_APP_BINARY
    QFile::remove(mainProgram(folder));
    return QDir().mkpath(folder)
        && QFile::copy(QStringLiteral(ORVI_SAMPLE_APP_BINARY), mainProgram(folder));
#else
    Q_UNUSED(folder)
    return false;
#endif
}

QString ApplicationFolder::mainProgram(const QString &folder)
{
    return folder + QStringLiteral("/orvi7.exe");
}

QStringList ApplicationFolder::updateArguments(const QString &folder, const QStringList &switches)
{
    return QStringList { QStringLiteral("/x/updater") } + switches
        + QStringList { QStringLiteral("-root"), folder };
}
