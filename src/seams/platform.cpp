#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {
Platform::DetachedStarter &detachedStarter()
{
    static Platform::DetachedStarter starter;
    return starter;
}
} // namespace

QString Platform::downloadFolder()
{
    return tempFolder() + QStringLiteral("/tupdates/");
}

QString Platform::runLockFile()
{
    return tempFolder() + QStringLiteral("/orvi-updater.lock");
}

bool Platform::isOwnFile(const QString &filePath)
{
    const QFileInfo file(filePath);
    const QString canonical = file.canonicalFilePath();
    if (canonical.isEmpty())
        return false;
    if (canonical == QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath())
        return true;
    const QString download = QFileInfo(downloadFolder()).canonicalFilePath() + QLatin1Char('/');
    const QString folder = file.canonicalPath() + QLatin1Char('/');
    if (!folder.startsWith(download))
        return false;
    return relocationFiles().contains(folder.mid(download.size()) + file.fileName());
}

QStringList Platform::ownFileNames()
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    QStringList names { QFileInfo(self).fileName() };
    for (const QString &file : relocationFiles())
        names << file.section(QLatin1Char('/'), -1);
    return names;
}

QString Platform::appDataFromEnvironment()
{
    const QStringList environment = QProcess::systemEnvironment();
    for (const QString &variable : environment) {
        if (variable.startsWith(QLatin1String("APPDATA=")))
            return variable.mid(8);
    }
    return QString();
}

bool Platform::startDetached(const QString &program, const QStringList &arguments)
{
    if (detachedStarter())
        return detachedStarter()(program, arguments);
    return startDetachedProcess(program, arguments, false);
}

bool Platform::startRelocatedCopy(const QString &program, const QStringList &arguments)
{
    if (detachedStarter())
        return detachedStarter()(program, arguments);
    return startDetachedProcess(program, arguments, true);
}

void Platform::setDetachedStarter(DetachedStarter starter)
{
    detachedStarter() = std::move(starter);
}

bool Platform::startDetachedProcess(
    const QString &program, const QStringList &arguments, bool systemPathOnly)
{
    // The started program outlives this one: it must not write into pipes that whoever
    // started this one may close, which would end it with a broken pipe.
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const QString searchPath = systemSearchPath();
    if (systemPathOnly && !searchPath.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), searchPath);
        process.setProcessEnvironment(environment);
    }
    return process.startDetached();
}
