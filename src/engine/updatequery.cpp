#include "updatequery.h"

#include "mainapppaths.h"

#include <QProcess>

namespace {
constexpr char OpenMarker[] = "<s>";
constexpr char CloseMarker[] = "</s>";
constexpr qsizetype OpenMarkerSize = sizeof(OpenMarker) - 1;
} // namespace

QString UpdateQuery::commandLine(const QString &rootFolder)
{
    return QLatin1Char('"') + MainAppPaths::mainAppPath(rootFolder) + QLatin1Char('"')
        + QStringLiteral(" -updatequery");
}

std::optional<QByteArray> UpdateQuery::inventory(const QByteArray &output)
{
    const qsizetype open = output.indexOf(OpenMarker);
    const qsizetype close = output.lastIndexOf(CloseMarker);
    if (open < 0 || close <= 0)
        return std::nullopt;
    const qsizetype begin = open + OpenMarkerSize;
    if (close < begin)
        return output.mid(begin);
    return output.mid(begin, close - begin);
}

QByteArray UpdateQuery::request(const QByteArray &output)
{
    const std::optional<QByteArray> found = inventory(output);
    if (!found)
        return QByteArray();
    const QString text
        = QLatin1String(OpenMarker) + QString::fromLatin1(*found) + QLatin1String(CloseMarker);
    return text.toUtf8();
}

QByteArray UpdateQuery::runMainApp(const QString &commandLine, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.startCommand(commandLine, QIODevice::ReadWrite);
    process.waitForStarted(timeoutMs);
    if (!process.waitForFinished(timeoutMs) && process.state() != QProcess::NotRunning) {
        // A main application that hangs must not hold the update run forever; whatever it
        // printed so far is not trusted to be a whole inventory.
        process.kill();
        process.waitForFinished(timeoutMs);
        return QByteArray();
    }
    return process.readAll();
}
