#include "answersigner.h"
#include "catalogue.h"
#include "delegationwatch.h"
#include "serverlog.h"
#include "signalwatcher.h"
#include "updatequeryserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QHostAddress>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <sys/resource.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

void printLine(const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString &message)
{
    const QByteArray bytes
        = (QStringLiteral("update-server: ") + message + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    return 1;
}

bool readPort(const QCommandLineParser &parser, const QString &option, quint16 *port)
{
    bool ok = false;
    const uint value = parser.value(option).toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

// Every connection holds a descriptor; the soft limit (often 1024) would end a crowd early.
rlim_t raiseOpenFileLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return raised.rlim_cur;
    }
    return limit.rlim_cur;
}

constexpr int StopLogWait = 2000;

bool readPositive(const QCommandLineParser &parser, const QCommandLineOption &option, int *value)
{
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    return ok && *value > 0;
}

bool readNonNegative(
    const QCommandLineParser &parser, const QCommandLineOption &option, int maximum, int *value)
{
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    return ok && *value >= 0 && *value <= maximum;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(tr("Answers the updater's update queries from a catalogue "
                                        "folder; a web server serves its packages."));
    parser.addHelpOption();
    const QCommandLineOption catalogueOption(QStringLiteral("catalogue"),
        tr("The catalogue folder (index.xml and the packages)."), QStringLiteral("dir"));
    const QCommandLineOption updatePortOption(QStringLiteral("update-port"),
        tr("TCP port for update queries; 0 picks a free one."), QStringLiteral("port"));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
        tr("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"),
        QStringLiteral("127.0.0.1"));
    const QCommandLineOption baseUrlOption(QStringLiteral("base-url"),
        tr("Address the package links start with: where the packages are served."),
        QStringLiteral("url"));
    const QCommandLineOption timeoutOption(QStringLiteral("idle-timeout"),
        tr("Milliseconds a connection may stay silent before it is dropped (default 30000)."),
        QStringLiteral("ms"), QStringLiteral("30000"));
    const QCommandLineOption deadlineOption(QStringLiteral("request-deadline"),
        tr("Milliseconds a client has to send its whole request after connecting "
           "(default 10000)."),
        QStringLiteral("ms"), QStringLiteral("10000"));
    const QCommandLineOption connectionsOption(QStringLiteral("max-connections"),
        tr("Update connections open at once; at the limit a new one takes the place of the "
           "oldest one still waiting for its request from the address with the most such, or "
           "is closed at once when none waits (default 20000, at most what the open-file limit "
           "allows)."),
        QStringLiteral("count"), QStringLiteral("20000"));
    const QCommandLineOption perAddressOption(QStringLiteral("max-connections-per-address"),
        tr("Update connections open at once from one address (an IPv6 /64); more are closed at "
           "once (default 100; 0: no limit). Behind a proxy such as nginx every client has the "
           "proxy's address, unless --proxy-protocol gives the client's."),
        QStringLiteral("count"), QStringLiteral("100"));
    const QCommandLineOption memoryOption(QStringLiteral("memory-budget"),
        tr("MiB that requests still arriving and replies not yet taken may hold across all "
           "connections; the first 32 KiB of a request and a reply of up to 32 KiB are always "
           "served. Past it, a longer request stops being read until there is room (its "
           "deadline still runs) and a longer reply the client does not take at once is reset "
           "(default 16)."),
        QStringLiteral("MiB"), QStringLiteral("16"));
    const QCommandLineOption socketBufferOption(QStringLiteral("socket-buffer"),
        tr("KiB of socket send and of receive buffer per connection (default 64; 0: the "
           "system's own)."),
        QStringLiteral("KiB"), QStringLiteral("64"));
    const QCommandLineOption proxyProtocolOption(QStringLiteral("proxy-protocol"),
        tr("Every update connection opens with the PROXY protocol's line (version 1) from a "
           "proxy in front, such as nginx's proxy_protocol on; the client's address it names "
           "counts in the limits and the log. A connection without one is dropped."));
    const QCommandLineOption serverKeyOption(QStringLiteral("server-key"),
        tr("The server's own minisign secret key, which signs every answer; one with a "
           "password takes it from ORVI_SERVER_KEY_PASSWORD."),
        QStringLiteral("file"));
    const QCommandLineOption delegationOption(QStringLiteral("delegation"),
        tr("The statement by which a package key delegates answering to the server's key "
           "(mkpackage --delegate, or minisign -S); required with --server-key."),
        QStringLiteral("file"));
    parser.addOptions({ catalogueOption, updatePortOption, bindOption, baseUrlOption, timeoutOption,
        deadlineOption, connectionsOption, perAddressOption, memoryOption, socketBufferOption,
        proxyProtocolOption, serverKeyOption, delegationOption });
    parser.process(app);

    if (!parser.isSet(catalogueOption) || !parser.isSet(updatePortOption)
        || !parser.isSet(baseUrlOption))
        return fail(tr("--catalogue, --update-port and --base-url are required (see --help)"));
    quint16 updatePort = 0;
    if (!readPort(parser, updatePortOption.names().constFirst(), &updatePort))
        return fail(tr("a port must be a number from 0 to 65535"));
    const QHostAddress address(parser.value(bindOption));
    if (address.isNull())
        return fail(tr("not an IP address: %1").arg(parser.value(bindOption)));
    bool timeoutOk = false;
    const int idleTimeout = parser.value(timeoutOption).toInt(&timeoutOk);
    if (!timeoutOk || idleTimeout <= 0)
        return fail(tr("--idle-timeout must be a positive number of milliseconds"));
    int requestDeadline = 0;
    if (!readPositive(parser, deadlineOption, &requestDeadline))
        return fail(tr("--request-deadline must be a positive number of milliseconds"));
    int maximumConnections = 0;
    if (!readPositive(parser, connectionsOption, &maximumConnections))
        return fail(tr("--max-connections must be a positive number"));
    int perAddress = 0;
    if (!readNonNegative(parser, perAddressOption, std::numeric_limits<int>::max(), &perAddress))
        return fail(tr("--max-connections-per-address must be 0 or a positive number"));
    int memoryBudget = 0;
    if (!readPositive(parser, memoryOption, &memoryBudget) || memoryBudget > 1024 * 1024)
        return fail(tr("--memory-budget must be a positive number of MiB"));
    int socketBuffer = 0;
    // The kernel caps the buffers at net.core.wmem_max and rmem_max anyway.
    if (!readNonNegative(parser, socketBufferOption, 1024 * 1024, &socketBuffer))
        return fail(tr("--socket-buffer must be 0 or a number of KiB up to 1048576"));
    // Descriptors beyond the connections: the listening sockets, the log, the catalogue's
    // files.
    constexpr rlim_t SpareDescriptors = 256;
    const rlim_t openFileLimit = raiseOpenFileLimit();
    // Under a small limit, half of it: the server must never run out of descriptors itself.
    const rlim_t allowed = openFileLimit > 2 * SpareDescriptors
        ? openFileLimit - SpareDescriptors
        : std::max<rlim_t>(1, openFileLimit / 2);
    if (openFileLimit > 0 && rlim_t(maximumConnections) > allowed) {
        maximumConnections = int(allowed);
        ServerLog::write(QStringLiteral("at most %1 update connections: the open-file limit is %2")
                             .arg(maximumConnections)
                             .arg(openFileLimit));
    }

    const QString catalogueFolder = QDir(parser.value(catalogueOption)).absolutePath();
    Catalogue catalogue;
    QString errorText;
    // Checked once at start so that a broken index shows at once, not at the first query.
    if (!catalogue.load(catalogueFolder, false, &errorText))
        return fail(errorText);

    const QString baseUrl = parser.value(baseUrlOption);
    if (baseUrl.isEmpty() || !QUrl(baseUrl, QUrl::StrictMode).isValid())
        return fail(tr("not a URL: %1").arg(baseUrl));

    AnswerSigner signer;
    if (parser.isSet(serverKeyOption) != parser.isSet(delegationOption))
        return fail(tr("--server-key and --delegation go together"));
    const bool signing = parser.isSet(serverKeyOption);
    if (signing) {
        QByteArray password = qgetenv("ORVI_SERVER_KEY_PASSWORD");
        const bool loaded = signer.loadFiles(parser.value(serverKeyOption), password,
                                parser.value(delegationOption), &errorText)
            && signer.checkDelegation(QDateTime::currentDateTimeUtc(), &errorText);
        password.fill('\0');
        if (!loaded)
            return fail(errorText);
    }

    UpdateQueryServer queryServer(catalogueFolder, baseUrl);
    if (signing)
        queryServer.setAnswerSigner(&signer);
    queryServer.setIdleTimeout(idleTimeout);
    queryServer.setRequestDeadline(requestDeadline);
    queryServer.setMaximumConnections(maximumConnections);
    queryServer.setMaximumConnectionsPerAddress(perAddress);
    queryServer.setMemoryBudget(qsizetype(memoryBudget) * 1024 * 1024);
    queryServer.setSocketBufferSize(socketBuffer * 1024);
    queryServer.setProxyProtocol(parser.isSet(proxyProtocolOption));
    if (!queryServer.listen(address, updatePort, &errorText))
        return fail(errorText);

    SignalWatcher signalWatcher;
    QObject::connect(
        &signalWatcher, &SignalWatcher::terminationRequested, &app, [&](int signalNumber) {
            ServerLog::write(QStringLiteral("stopping on signal %1").arg(signalNumber));
            queryServer.close();
            QCoreApplication::quit();
        });

    // Scripts and tests started with port 0 read the chosen port from this line.
    printLine(QStringLiteral("update port %1").arg(queryServer.port()));
    ServerLog::write(QStringLiteral("serving %1 (%2 components) on %3, links %4")
                         .arg(catalogueFolder)
                         .arg(catalogue.entries().size())
                         .arg(address.toString(), baseUrl));
    ServerLog::write(signing
            ? QStringLiteral("answers signed with key %1, delegated until %2")
                  .arg(signer.keyIdText(), signer.expires().toString(Qt::ISODate))
            : QStringLiteral("answers unsigned: only updaters built with unsigned packages "
                             "allowed take them"));
    DelegationWatch delegationWatch(signer.keyIdText(), signer.expires());
    if (signing)
        delegationWatch.check();
    const int result = app.exec();
    ServerLog::write(QStringLiteral("stopped"));
    // Standard error may be a pipe nobody reads; a stop must not hang on it.
    if (!ServerLog::drain(StopLogWait)) {
        std::fflush(stdout);
        std::_Exit(result);
    }
    return result;
}
