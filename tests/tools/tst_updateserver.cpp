#include "replyreader.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QDomDocument>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

using Entries = std::vector<std::unique_ptr<UpdateEntry>>;

namespace {

const QString PackageName = QStringLiteral("core-2.0.zip");

// The catalogue index in the documented format, with one package per component.
QByteArray indexXml()
{
    return QByteArrayLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<catalogue>\n"
        " <component project=\"orvi\" name=\"core\" type=\"app\">\n"
        "  <version>2.0</version>\n"
        "  <package>core-2.0.zip</package>\n"
        "  <description>Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87 &amp; more</description>\n"
        "  <copyrights>(c) Orvi</copyrights>\n"
        "  <author>Orvi team</author>\n"
        "  <webpage>https://orvi.example/</webpage>\n"
        "  <email>team@orvi.example</email>\n"
        "  <changelog>Line one\nLine two</changelog>\n"
        "  <critical>true</critical>\n"
        "  <timestamp>1700000000</timestamp>\n"
        " </component>\n"
        " <component project=\"orvi\" name=\"smileys\" type=\"plugin\">\n"
        "  <version>1.10</version>\n"
        "  <package>smileys-1.10.zip</package>\n"
        " </component>\n"
        " <component project=\"orvi\" name=\"\xc5\xbc\xc3\xb3\xc5\x82w\" type=\"plugin\">\n"
        "  <version>3</version>\n"
        "  <package>turtle-3.zip</package>\n"
        " </component>\n"
        "</catalogue>\n");
}

QByteArray component(const QByteArray &name, const QByteArray &type, const QByteArray &version)
{
    return "<component project=\"orvi\" name=\"" + name + "\" type=\"" + type + "\" version=\""
        + version + "\"/>";
}

// What the updater sends for the inventory bytes the main application printed: every byte
// widened to the character of the same value, then UTF-8 encoded.
QByteArray asSentByUpdater(const QByteArray &inventory)
{
    return (QLatin1String("<s>") + QString::fromLatin1(inventory) + QLatin1String("</s>")).toUtf8();
}

QByteArray patterned(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 977) & 0xff);
    return bytes;
}

} // namespace

class tst_UpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void reply_data();
    void reply();
    void availableUpdateCarriesEveryField();
    void signature_data();
    void signature();
    void requestInPieces();
    void baseUrl();
    void droppedRequests_data();
    void droppedRequests();
    void limits_data();
    void limits();
    void catalogueChangedWhileServing_data();
    void catalogueChangedWhileServing();
    void httpHeadAndGet();
    void httpWithQtClient();
    void httpRefusals_data();
    void httpRefusals();
    void oneLogLinePerExchangeAndCleanStop();
    void refusesBrokenIndex();

private:
    bool startServer(const QStringList &extraArguments = QStringList());
    QByteArray exchange(const QByteArray &request);
    QByteArray httpExchange(const QByteArray &request);
    QStringList stopServer();
    static Entries parseReply(const QByteArray &reply);

    std::unique_ptr<TestEnvironment> m_environment;
    QString m_catalogue;
    QByteArray m_package;
    std::unique_ptr<QProcess> m_server;
    quint16 m_updatePort = 0;
    quint16 m_httpPort = 0;
};

void tst_UpdateServer::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_catalogue = m_environment->root() + QStringLiteral("/catalogue");
    m_package = patterned(1024 * 1024 + 4321);
    QVERIFY(TestEnvironment::writeFile(m_catalogue + QStringLiteral("/index.xml"), indexXml()));
    QVERIFY(TestEnvironment::writeFile(m_catalogue + QLatin1Char('/') + PackageName, m_package));
    QVERIFY(startServer());
}

void tst_UpdateServer::cleanup()
{
    if (m_server) {
        m_server->terminate();
        m_server->waitForFinished(5000);
        m_server.reset();
    }
    m_environment.reset();
}

bool tst_UpdateServer::startServer(const QStringList &extraArguments)
{
    if (m_server) {
        m_server->terminate();
        m_server->waitForFinished(5000);
    }
    m_server = std::make_unique<QProcess>();
    m_server->start(QStringLiteral(ORVI_UPDATE_SERVER_BINARY),
        QStringList { QStringLiteral("--catalogue"), m_catalogue, QStringLiteral("--update-port"),
            QStringLiteral("0"), QStringLiteral("--http-port"), QStringLiteral("0") }
            + extraArguments);
    if (!m_server->waitForStarted(10000))
        return false;
    m_updatePort = 0;
    m_httpPort = 0;
    const QRegularExpression portLine(QStringLiteral("^(update|http) port (\\d+)$"));
    QElapsedTimer timer;
    timer.start();
    while ((m_updatePort == 0 || m_httpPort == 0) && timer.elapsed() < 10000) {
        if (!m_server->canReadLine() && !m_server->waitForReadyRead(1000))
            continue;
        while (m_server->canReadLine()) {
            const QString line = QString::fromLocal8Bit(m_server->readLine()).trimmed();
            const QRegularExpressionMatch match = portLine.match(line);
            if (!match.hasMatch())
                continue;
            const quint16 port = match.captured(2).toUShort();
            (match.captured(1) == QLatin1String("update") ? m_updatePort : m_httpPort) = port;
        }
    }
    return m_updatePort != 0 && m_httpPort != 0;
}

// Sends request and collects everything until the server closes the connection.
QByteArray tst_UpdateServer::exchange(const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_updatePort);
    if (!socket.waitForConnected(5000))
        return QByteArrayLiteral("(no connection)");
    socket.write(request);
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        reply += socket.readAll();
    reply += socket.readAll();
    return reply;
}

QByteArray tst_UpdateServer::httpExchange(const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_httpPort);
    if (!socket.waitForConnected(5000))
        return QByteArrayLiteral("(no connection)");
    socket.write(request);
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        response += socket.readAll();
    response += socket.readAll();
    return response;
}

// Stops the server and returns its log lines without their time stamps.
QStringList tst_UpdateServer::stopServer()
{
    m_server->terminate();
    m_server->waitForFinished(5000);
    QStringList lines;
    const QStringList log = QString::fromUtf8(m_server->readAllStandardError())
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : log)
        lines << line.section(QLatin1Char(' '), 1);
    m_server.reset();
    return lines;
}

Entries tst_UpdateServer::parseReply(const QByteArray &reply)
{
    ReplyReader reader;
    if (!reader.add(reply))
        qWarning("reply is not a complete document: %s", reply.left(200).constData());
    Entries entries;
    for (UpdateEntry *entry : reader.takeEntries())
        entries.emplace_back(entry);
    return entries;
}

void tst_UpdateServer::reply_data()
{
    QTest::addColumn<QByteArray>("inventory");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("availableVersions");

    QTest::newRow("latest, unknown and available")
        << component("core", "app", "2.0") + component("chat", "app", "1.0")
            + component("smileys", "plugin", "1.9")
        << QStringList { QStringLiteral("latest"), QStringLiteral("noSuchComponent"),
               QStringLiteral("version") }
        << QStringList { QStringLiteral("1.10") };
    QTest::newRow("older core is offered")
        << component("core", "app", "1.5") << QStringList { QStringLiteral("version") }
        << QStringList { QStringLiteral("2.0") };
    QTest::newRow("newer than the catalogue is latest")
        << component("core", "app", "2.0.1") + component("smileys", "plugin", "1.10.0")
        << QStringList { QStringLiteral("latest"), QStringLiteral("latest") } << QStringList();
    QTest::newRow("parts compare as numbers")
        << component("smileys", "plugin", "1.2") + component("core", "app", "10")
        << QStringList { QStringLiteral("version"), QStringLiteral("latest") }
        << QStringList { QStringLiteral("1.10") };
    QTest::newRow("2 and 2.0 are the same version")
        << component("core", "app", "2") << QStringList { QStringLiteral("latest") }
        << QStringList();
    QTest::newRow("type is part of the component")
        << component("core", "plugin", "1.0") << QStringList { QStringLiteral("noSuchComponent") }
        << QStringList();
    QTest::newRow("non-ASCII name widened by the updater")
        << component("\xc5\xbc\xc3\xb3\xc5\x82w", "plugin", "2")
        << QStringList { QStringLiteral("version") } << QStringList { QStringLiteral("3") };
    QTest::newRow("markup characters go back escaped")
        << component("a&amp;&quot;&lt;&gt;&#9;&#10;&#13;b", "plugin", "1")
        << QStringList { QStringLiteral("noSuchComponent") } << QStringList();
    QTest::newRow("empty inventory") << QByteArray() << QStringList() << QStringList();
}

void tst_UpdateServer::reply()
{
    QFETCH(QByteArray, inventory);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, availableVersions);

    const QByteArray reply = exchange(asSentByUpdater(inventory));
    QDomDocument document;
    QString error;
    QVERIFY2(document.setContent(reply, false, &error),
        qPrintable(error + QLatin1Char('\n') + QString::fromUtf8(reply)));

    const QDomNodeList requests = document.elementsByTagName(QStringLiteral("request"));
    QCOMPARE(requests.size(), answers.size());
    for (int i = 0; i < requests.size(); ++i)
        QCOMPARE(requests.at(i).firstChildElement().tagName(), answers.at(i));

    const Entries entries = parseReply(reply);
    QStringList versions;
    for (const auto &entry : entries)
        versions << QString::fromStdString(entry->version());
    QCOMPARE(versions, availableVersions);
}

void tst_UpdateServer::availableUpdateCarriesEveryField()
{
    const Entries entries = parseReply(exchange(asSentByUpdater(component("core", "app", "1"))));
    QCOMPARE(entries.size(), size_t(1));
    const UpdateEntry &entry = *entries.front();
    QCOMPARE(entry.project(), std::string("orvi"));
    QCOMPARE(entry.name(), std::string("core"));
    QCOMPARE(entry.type(), std::string("app"));
    QCOMPARE(entry.version(), std::string("2.0"));
    QCOMPARE(entry.description(), std::string("Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87 & more"));
    QCOMPARE(entry.copyrights(), std::string("(c) Orvi"));
    QCOMPARE(entry.author(), std::string("Orvi team"));
    QCOMPARE(entry.webpage(), std::string("https://orvi.example/"));
    QCOMPARE(entry.email(), std::string("team@orvi.example"));
    QCOMPARE(entry.changelog(), std::string("Line one\nLine two"));
    QCOMPARE(entry.link(),
        QStringLiteral("http://127.0.0.1:%1/core-2.0.zip").arg(m_httpPort).toStdString());
    QCOMPARE(entry.critical(), true);
    QCOMPARE(entry.timestamp(), 1700000000u);
}

void tst_UpdateServer::signature_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("lastElement");

    const QByteArray minisig = "untrusted comment: \xc5\xbc\nRUQBAgMEBQYHCA==\ntrusted comment: "
                               "orvi-package project=orvi\nZ2xvYmFs\n";
    QTest::newRow("minisign file") << minisig << QString::fromUtf8(minisig);
    QTest::newRow("not UTF-8") << QByteArray("\xff\n") << QStringLiteral("timestamp");
    QTest::newRow("control character") << QByteArray("\x01\n") << QStringLiteral("timestamp");
    QTest::newRow("too large") << QByteArray(64 * 1024, 'A') << QStringLiteral("timestamp");
}

void tst_UpdateServer::signature()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, lastElement);

    // The offer's last element: the signature's text, or the name of any other element.
    const auto last = [this] {
        QDomDocument document;
        document.setContent(exchange(asSentByUpdater(component("core", "app", "1"))));
        const QDomElement element
            = document.documentElement().firstChildElement().lastChildElement();
        return element.tagName() == QLatin1String("signature") ? element.text() : element.tagName();
    };
    QCOMPARE(last(), QStringLiteral("timestamp"));
    // Written while the server runs: the next query carries it.
    QVERIFY(
        TestEnvironment::writeFile(m_catalogue + QStringLiteral("/core-2.0.zip.minisig"), file));
    QCOMPARE(last(), lastElement);
}

void tst_UpdateServer::requestInPieces()
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_updatePort);
    QVERIFY(socket.waitForConnected(5000));
    const QByteArray request = asSentByUpdater(component("core", "app", "1"));
    socket.write(request.left(10));
    QVERIFY(socket.waitForBytesWritten(5000));
    // Nothing is answered before the closing marker.
    QVERIFY(!socket.waitForReadyRead(300));
    socket.write(request.mid(10));
    QByteArray reply;
    while (socket.waitForReadyRead(5000))
        reply += socket.readAll();
    QCOMPARE(parseReply(reply).size(), size_t(1));
}

void tst_UpdateServer::baseUrl()
{
    QVERIFY(startServer(
        { QStringLiteral("--base-url"), QStringLiteral("http://cdn.orvi.example/pkg/") }));
    const Entries entries = parseReply(exchange(asSentByUpdater(component("core", "app", "1"))));
    QCOMPARE(entries.size(), size_t(1));
    QCOMPARE(entries.front()->link(), std::string("http://cdn.orvi.example/pkg/core-2.0.zip"));
}

void tst_UpdateServer::droppedRequests_data()
{
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("nothing sent") << QByteArray();
    QTest::newRow("no closing marker") << QByteArray("<s><component name=\"core\"/>");
    QTest::newRow("malformed inventory") << QByteArray("<s><component name=\"core\"></s>");
    QTest::newRow("too long") << QByteArray("<s>") + QByteArray(1024 * 1024 + 10, ' ');
}

void tst_UpdateServer::droppedRequests()
{
    QFETCH(QByteArray, request);
    QVERIFY(startServer({ QStringLiteral("--idle-timeout"), QStringLiteral("400") }));

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_updatePort);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request);
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < 10000) {
        socket.waitForReadyRead(1000);
        received += socket.readAll();
    }
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(received, QByteArray());
}

void tst_UpdateServer::limits_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("held");
    QTest::addColumn<bool>("extraAnswered");
    QTest::addColumn<QString>("loggedFirst");
    QTest::addColumn<QString>("loggedThen");

    // The held clients send part of a request and stop; one more client then sends a whole one.
    QTest::newRow("unfinished request cut at the deadline, others answered meanwhile")
        << QStringList { QStringLiteral("--request-deadline"), QStringLiteral("1000") } << 1 << true
        << QStringLiteral("1 components: 1 available")
        << QStringLiteral("dropped: no complete request within 1000 ms");
    QTest::newRow("connection over the limit closed at once, the others still served")
        << QStringList { QStringLiteral("--max-connections"), QStringLiteral("3") } << 3 << false
        << QStringLiteral("refused 127.0.0.1:") << QStringLiteral("1 components: 1 available");
}

void tst_UpdateServer::limits()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, held);
    QFETCH(bool, extraAnswered);
    QFETCH(QString, loggedFirst);
    QFETCH(QString, loggedThen);
    QVERIFY(startServer(arguments));

    const QByteArray request = asSentByUpdater(component("core", "app", "1"));
    std::vector<std::unique_ptr<QTcpSocket>> heldSockets;
    for (int i = 0; i < held; ++i) {
        heldSockets.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket &socket = *heldSockets.back();
        socket.connectToHost(QHostAddress::LocalHost, m_updatePort);
        QVERIFY(socket.waitForConnected(5000));
        socket.write(request.left(20));
        QVERIFY(socket.waitForBytesWritten(5000));
    }
    const QByteArray extraReply = exchange(request);
    if (extraAnswered)
        QCOMPARE(parseReply(extraReply).size(), size_t(1));
    else
        QCOMPARE(extraReply, QByteArray());

    for (const auto &socket : heldSockets) {
        if (extraAnswered) {
            QVERIFY(socket->state() != QAbstractSocket::ConnectedState
                || socket->waitForDisconnected(10000));
            QCOMPARE(socket->readAll(), QByteArray());
            continue;
        }
        socket->write(request.mid(20));
        QByteArray reply;
        while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(5000))
            reply += socket->readAll();
        QCOMPARE(parseReply(reply + socket->readAll()).size(), size_t(1));
    }

    const QStringList log = stopServer();
    const auto firstIndex = [&log](const QString &text) {
        for (qsizetype i = 0; i < log.size(); ++i) {
            if (log.at(i).contains(text))
                return i;
        }
        return qsizetype(-1);
    };
    QVERIFY2(firstIndex(loggedFirst) >= 0, qPrintable(log.join(QLatin1Char('\n'))));
    QVERIFY2(
        firstIndex(loggedFirst) < firstIndex(loggedThen), qPrintable(log.join(QLatin1Char('\n'))));
}

void tst_UpdateServer::catalogueChangedWhileServing_data()
{
    QTest::addColumn<QByteArray>("newIndex");
    QTest::addColumn<bool>("inPlaceKeepingIdentity");
    QTest::addColumn<QString>("offered");

    QByteArray newer = indexXml();
    newer.replace("<version>2.0</version>", "<version>3.0</version>");
    QTest::newRow("new index renamed over the old") << newer << false << QStringLiteral("3.0");
    QTest::newRow("broken index renamed over the old: the old one stays")
        << QByteArray("<catalogue><component project=\"orvi\"") << false << QStringLiteral("2.0");
    QTest::newRow("changed with the file's identity kept: not read again")
        << newer << true << QStringLiteral("2.0");
}

void tst_UpdateServer::catalogueChangedWhileServing()
{
    QFETCH(QByteArray, newIndex);
    QFETCH(bool, inPlaceKeepingIdentity);
    QFETCH(QString, offered);

    const auto offeredVersion = [this] {
        const Entries entries
            = parseReply(exchange(asSentByUpdater(component("core", "app", "1"))));
        return entries.size() == 1 ? QString::fromStdString(entries.front()->version()) : QString();
    };
    QCOMPARE(offeredVersion(), QStringLiteral("2.0"));

    const QString index = m_catalogue + QStringLiteral("/index.xml");
    const QByteArray indexPath = QFile::encodeName(index);
    if (inPlaceKeepingIdentity) {
        struct stat before = {};
        QCOMPARE(::stat(indexPath.constData(), &before), 0);
        QCOMPARE(newIndex.size(), indexXml().size());
        QVERIFY(TestEnvironment::writeFile(index, newIndex));
        const timespec times[2] = { before.st_atim, before.st_mtim };
        QCOMPARE(::utimensat(AT_FDCWD, indexPath.constData(), times, 0), 0);
    } else {
        QVERIFY(TestEnvironment::writeFile(index + QStringLiteral(".new"), newIndex));
        QCOMPARE(std::rename(QFile::encodeName(index + QStringLiteral(".new")).constData(),
                     indexPath.constData()),
            0);
    }
    QCOMPARE(offeredVersion(), offered);
}

void tst_UpdateServer::httpHeadAndGet()
{
    const QByteArray head = httpExchange("HEAD /core-2.0.zip HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY2(head.startsWith("HTTP/1.1 200 "), head.constData());
    QVERIFY(head.contains("\r\nContent-Length: " + QByteArray::number(m_package.size()) + "\r\n"));
    QVERIFY(head.endsWith("\r\n\r\n"));

    const QByteArray get = httpExchange("GET /core-2.0.zip HTTP/1.1\r\nHost: x\r\n\r\n");
    const qsizetype bodyStart = get.indexOf("\r\n\r\n") + 4;
    QVERIFY(get.startsWith("HTTP/1.1 200 "));
    QVERIFY(get.left(bodyStart).contains(
        "\r\nContent-Length: " + QByteArray::number(m_package.size()) + "\r\n"));
    QCOMPARE(get.size() - bodyStart, m_package.size());
    QVERIFY(get.mid(bodyStart) == m_package);

    // The absolute form names the same file.
    const QByteArray absolute = httpExchange("HEAD http://127.0.0.1/core-2.0.zip HTTP/1.1\r\n\r\n");
    QVERIFY(absolute.startsWith("HTTP/1.1 200 "));
}

void tst_UpdateServer::httpWithQtClient()
{
    // The updater's downloads go through QNetworkAccessManager, which keeps connections alive.
    QNetworkAccessManager manager;
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/%2").arg(m_httpPort).arg(PackageName));
    std::unique_ptr<QNetworkReply> head(manager.head(QNetworkRequest(url)));
    QSignalSpy headFinished(head.get(), &QNetworkReply::finished);
    QVERIFY(headFinished.wait(10000));
    QCOMPARE(head->error(), QNetworkReply::NoError);
    QCOMPARE(head->header(QNetworkRequest::ContentLengthHeader).toLongLong(), m_package.size());

    std::unique_ptr<QNetworkReply> get(manager.get(QNetworkRequest(url)));
    QSignalSpy getFinished(get.get(), &QNetworkReply::finished);
    QVERIFY(getFinished.wait(10000));
    QCOMPARE(get->error(), QNetworkReply::NoError);
    QCOMPARE(get->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QVERIFY(get->readAll() == m_package);
}

void tst_UpdateServer::httpRefusals_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("unknown file") << QByteArray("GET /core-9.zip HTTP/1.1") << QByteArray("404");
    QTest::newRow("folder listing") << QByteArray("GET / HTTP/1.1") << QByteArray("404");
    QTest::newRow("parent folder")
        << QByteArray("GET /../secret.txt HTTP/1.1") << QByteArray("404");
    QTest::newRow("encoded parent")
        << QByteArray("GET /%2e%2e%2fsecret.txt HTTP/1.1") << QByteArray("404");
    QTest::newRow("encoded dots only") << QByteArray("GET /%2E%2E HTTP/1.1") << QByteArray("404");
    QTest::newRow("backslash") << QByteArray("GET /..%5csecret.txt HTTP/1.1") << QByteArray("404");
    QTest::newRow("raw backslash")
        << QByteArray("GET /..\\secret.txt HTTP/1.1") << QByteArray("404");
    QTest::newRow("subfolder") << QByteArray("GET /sub/inner.zip HTTP/1.1") << QByteArray("404");
    QTest::newRow("encoded subfolder")
        << QByteArray("GET /sub%2finner.zip HTTP/1.1") << QByteArray("404");
    QTest::newRow("link out of the folder")
        << QByteArray("GET /outside.zip HTTP/1.1") << QByteArray("404");
    QTest::newRow("link inside the folder")
        << QByteArray("HEAD /inside.zip HTTP/1.1") << QByteArray("200");
    QTest::newRow("hidden file") << QByteArray("GET /.hidden HTTP/1.1") << QByteArray("404");
    QTest::newRow("the index") << QByteArray("GET /index.xml HTTP/1.1") << QByteArray("404");
    QTest::newRow("absolute path") << QByteArray("GET /etc/passwd HTTP/1.1") << QByteArray("404");
    QTest::newRow("other method") << QByteArray("POST /core-2.0.zip HTTP/1.1") << QByteArray("405");
    QTest::newRow("not HTTP") << QByteArray("hello") << QByteArray("400");
}

void tst_UpdateServer::httpRefusals()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);

    const QByteArray secret = "secret contents";
    QVERIFY(
        TestEnvironment::writeFile(m_environment->root() + QStringLiteral("/secret.txt"), secret));
    QVERIFY(TestEnvironment::writeFile(m_catalogue + QStringLiteral("/sub/inner.zip"), secret));
    QVERIFY(TestEnvironment::writeFile(m_catalogue + QStringLiteral("/.hidden"), secret));
    QVERIFY(QFile::link(m_environment->root() + QStringLiteral("/secret.txt"),
        m_catalogue + QStringLiteral("/outside.zip")));
    QVERIFY(QFile::link(
        m_catalogue + QLatin1Char('/') + PackageName, m_catalogue + QStringLiteral("/inside.zip")));

    const QByteArray response = httpExchange(request + "\r\nHost: x\r\n\r\n");
    QVERIFY2(response.startsWith("HTTP/1.1 " + status + ' '), response.constData());
    QVERIFY(!response.contains(secret));
    QVERIFY(!response.contains("<catalogue>"));
}

void tst_UpdateServer::oneLogLinePerExchangeAndCleanStop()
{
    const QByteArray reply = exchange(asSentByUpdater(component("core", "app", "1")));
    QCOMPARE(parseReply(reply).size(), size_t(1));
    QVERIFY(httpExchange("HEAD /core-2.0.zip HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 "));
    QVERIFY(httpExchange("GET /nothing.zip HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404 "));

    m_server->terminate();
    QVERIFY(m_server->waitForFinished(5000));
    QCOMPARE(m_server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_server->exitCode(), 0);
    const QStringList log = QString::fromUtf8(m_server->readAllStandardError())
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList exchanges;
    for (const QString &line : log) {
        const QString text = line.section(QLatin1Char(' '), 1);
        if (text.startsWith(QLatin1String("update ")) || text.startsWith(QLatin1String("http ")))
            exchanges << text.section(QLatin1Char(' '), 0, 0) + QLatin1Char(' ')
                    + text.section(QLatin1Char(' '), 2);
    }
    QCOMPARE(exchanges,
        QStringList({ QStringLiteral(
                          "update 1 components: 1 available, 0 latest, 0 unknown; %1 bytes")
                          .arg(reply.size()),
            QStringLiteral("http HEAD /core-2.0.zip HTTP/1.1 200 %1 bytes").arg(m_package.size()),
            QStringLiteral("http GET /nothing.zip HTTP/1.1 404") }));
    QVERIFY(log.last().endsWith(QLatin1String(" stopped")));
    m_server.reset();
}

void tst_UpdateServer::refusesBrokenIndex()
{
    QVERIFY(TestEnvironment::writeFile(m_catalogue + QStringLiteral("/index.xml"),
        "<catalogue><component project=\"orvi\" name=\"core\" type=\"app\">"
        "<version>2</version><package>../core.zip</package></component></catalogue>"));
    QProcess server;
    server.start(QStringLiteral(ORVI_UPDATE_SERVER_BINARY),
        { QStringLiteral("--catalogue"), m_catalogue, QStringLiteral("--update-port"),
            QStringLiteral("0"), QStringLiteral("--http-port"), QStringLiteral("0") });
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 1);
    QVERIFY(server.readAllStandardError().contains("index.xml:1"));
    QCOMPARE(server.readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_UpdateServer)

#include "tst_updateserver.moc"
