#include "updatequery.h"

#include "mainapppaths.h"
#include "replyschema.h"

#include <QProcess>

#include <sodium.h>

namespace {
// The inventory's markers in the main application's output.
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

QByteArray UpdateQuery::request(const QByteArray &output, const QByteArray &nonce)
{
    const std::optional<QByteArray> found = inventory(output);
    if (!found)
        return QByteArray();
    // The form's element goes first, where old servers read it as an element of the inventory
    // that names no component.
    return "<s nonce=\"" + nonce + "\"><" + ReplySchema::answerForm + ' '
        + ReplySchema::answerFormName + "=\"" + ReplySchema::requestBoundForm + "\"/>"
        + QString::fromLatin1(*found).toUtf8() + CloseMarker;
}

QByteArray UpdateQuery::newNonce()
{
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        qFatal("libsodium cannot be initialised");
    QByteArray bytes(32, '\0');
    randombytes_buf(bytes.data(), size_t(bytes.size()));
    return bytes.toHex();
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
