#include "applicationfolder.h"

#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

bool ApplicationFolder::makeScripted(const QString &program, const QByteArray &script)
{
    const QFileInfo info(program);
    QFile::remove(program);
    return QDir().mkpath(info.absolutePath())
        && QFile::copy(QStringLiteral(ORVI_SCRIPTED_MAIN_APP_BINARY), program)
        && TestEnvironment::writeFile(info.absolutePath() + QLatin1Char('/')
                + info.completeBaseName() + QStringLiteral(".script"),
            script);
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
