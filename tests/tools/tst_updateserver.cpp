#include "answerbinding.h"
#include "packagesignature.h"
#include "replyreader.h"
#include "testenvironment.h"
#include "testsigning.h"
#include "updateentry.h"

#include <QDomDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sodium.h>

using Entries = std::vector<std::unique_ptr<UpdateEntry>>;

namespace {

// Where the packages are served; the update server only names it in the links.
const QString BaseUrl = QStringLiteral("http://packages.orvi.example/orvi");

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
        "  <delta base=\"1.0\">core-2.0-from-1.0.zip</delta>\n"
        "  <delta base=\"1.5\">core-2.0-from-1.5.zip</delta>\n"
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

// The nonce of every request, as the updater makes them.
const QByteArray Nonce = QByteArray("0f").repeated(32);

// What the updater sends for the inventory bytes the main application printed: every byte
// widened to the character of the same value, then UTF-8 encoded, after the element that asks
// for answers signed over the request.
QByteArray asSentByUpdater(const QByteArray &inventory)
{
    return "<s nonce=\"" + Nonce + "\"><answerForm name=\"orvi-update-answer-2\"/>"
        + QString::fromLatin1(inventory).toUtf8() + "</s>";
}

// True when reply is signed, by the test server key, the way servers sign for updaters that
// do not ask for answers bound to their request: over the nonce alone.
bool signedForNonce(const QByteArray &reply, const QByteArray &nonce)
{
    const qsizetype end = reply.indexOf("<answerSignature>");
    const qsizetype close = reply.indexOf("</answerSignature>");
    if (end < 0 || close < end)
        return false;
    QByteArray signature = QByteArray::fromBase64(reply.mid(end + 17, close - end - 17));
    const QByteArray message = AnswerBinding::forNonce(nonce) + reply.left(end);
    const PackageSignature::PublicKey key = TestSigning::publicKey(QStringLiteral("server"));
    crypto_sign_state state;
    crypto_sign_init(&state);
    crypto_sign_update(&state, reinterpret_cast<const unsigned char *>(message.constData()),
        static_cast<unsigned long long>(message.size()));
    return signature.size() == crypto_sign_BYTES
        && crypto_sign_final_verify(&state, reinterpret_cast<unsigned char *>(signature.data()),
               reinterpret_cast<const unsigned char *>(key.key.constData()))
        == 0;
}

// How the server ended an exchange, seen from a plain socket: a reset tells itself from a
// close only there.
struct Ending
{
    QByteArray received;
    bool reset = false;
};

Ending plainExchange(quint16 port, const QByteArray &request, const char *from = "127.0.0.1")
{
    Ending ending;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    // A bound on every wait, so that a server that never ends the exchange fails the test.
    const timeval bound = { 10, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in source = {};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = ::inet_addr(from);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&source), sizeof source) == 0
        && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        // The server may end the exchange before it has read everything.
        for (qsizetype sent = 0; sent < request.size();) {
            const ssize_t written = ::send(
                fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            if (written <= 0) {
                ending.reset = errno == ECONNRESET || errno == EPIPE;
                break;
            }
            sent += written;
        }
        char buffer[65536];
        ssize_t received = 0;
        while ((received = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            ending.received.append(buffer, qsizetype(received));
        ending.reset = ending.reset || (received < 0 && errno == ECONNRESET);
    }
    ::close(fd);
    return ending;
}

// A connection from the address from that has sent bytes and waits; -1 if it cannot open.
// port receives its own port. A receive window makes a peer that takes little of its reply.
int openHeld(quint16 serverPort, const char *from, const QByteArray &bytes, quint16 *port,
    int receiveWindow = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval bound = { 10, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    if (receiveWindow > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveWindow, sizeof receiveWindow);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr(from);
    socklen_t length = sizeof address;
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(serverPort);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0
        || ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) != bytes.size()
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Sends the rest of a request on a held connection and reads until the server ends it.
Ending finishHeld(int fd, const QByteArray &rest)
{
    Ending ending;
    if (::send(fd, rest.constData(), size_t(rest.size()), MSG_NOSIGNAL) != rest.size())
        ending.reset = true;
    char buffer[65536];
    ssize_t received = 0;
    while ((received = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        ending.received.append(buffer, qsizetype(received));
    ending.reset = ending.reset || (received < 0 && errno == ECONNRESET);
    ::close(fd);
    return ending;
}

// The PROXY protocol's line for a client at address.
QByteArray proxyLine(const QByteArray &address, int port)
{
    return "PROXY TCP4 " + address + " 127.0.0.1 " + QByteArray::number(port) + " 443\r\n";
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
    void deltaGoesToItsBaseOnly_data();
    void deltaGoesToItsBaseOnly();
    void signature_data();
    void signature();
    void requestInPieces();
    void baseUrl();
    void endOfExchange_data();
    void endOfExchange();
    void limits_data();
    void limits();
    void proxyProtocol_data();
    void proxyProtocol();
    void idleMakeRoomAtTheLimit_data();
    void idleMakeRoomAtTheLimit();
    void replyNotTakenIsCutAtTheDeadline();
    void memoryBudget_data();
    void memoryBudget();
    void catalogueChangedWhileServing_data();
    void catalogueChangedWhileServing();
    void oneLogLinePerExchangeAndCleanStop();
    void refusesToStart_data();
    void refusesToStart();
    void delegationRunsOut_data();
    void delegationRunsOut();

private:
    bool startServer(const QStringList &extraArguments = QStringList());
    QByteArray exchange(const QByteArray &request);
    QStringList stopServer();
    /// The entries of reply, once its signature for request holds and it answers every
    /// component (none otherwise).
    static Entries parseReply(const QByteArray &reply, const QByteArray &request);
    /// The entries of the answer to the request for inventory.
    Entries query(const QByteArray &inventory);

    std::unique_ptr<TestEnvironment> m_environment;
    QString m_catalogue;
    std::unique_ptr<QProcess> m_server;
    quint16 m_updatePort = 0;
};

void tst_UpdateServer::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_catalogue = m_environment->root() + QStringLiteral("/catalogue");
    QVERIFY(TestEnvironment::writeFile(m_catalogue + QStringLiteral("/index.xml"), indexXml()));
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
            QStringLiteral("0"), QStringLiteral("--base-url"), BaseUrl }
            + TestSigning::serverOptions(m_environment->root()) + extraArguments);
    if (!m_server->waitForStarted(10000))
        return false;
    m_updatePort = 0;
    const QRegularExpression portLine(QStringLiteral("^update port (\\d+)$"));
    QElapsedTimer timer;
    timer.start();
    while (m_updatePort == 0 && timer.elapsed() < 10000) {
        if (!m_server->canReadLine() && !m_server->waitForReadyRead(1000))
            continue;
        while (m_server->canReadLine()) {
            const QRegularExpressionMatch match
                = portLine.match(QString::fromLocal8Bit(m_server->readLine()).trimmed());
            if (match.hasMatch())
                m_updatePort = match.captured(1).toUShort();
        }
    }
    return m_updatePort != 0;
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

Entries tst_UpdateServer::parseReply(const QByteArray &reply, const QByteArray &request)
{
    const QByteArray inventory = QString::fromUtf8(request).toLatin1();
    ReplyReader reader(request,
        ComponentAnswers::expectedFor(inventory.mid(inventory.indexOf("/>") + 2).chopped(4)));
    if (!reader.add(reply))
        qWarning("reply is not a complete document: %s", reply.left(200).constData());
    Entries entries;
    if (reader.checkSignature(
            { TestSigning::publicKey(QStringLiteral("test")) }, QDateTime::currentDateTimeUtc())
            != AnswerSignature::Result::Verified
        || reader.answers().unanswered() > 0)
        return entries;
    for (UpdateEntry *entry : reader.takeEntries())
        entries.emplace_back(entry);
    return entries;
}

Entries tst_UpdateServer::query(const QByteArray &inventory)
{
    const QByteArray request = asSentByUpdater(inventory);
    return parseReply(exchange(request), request);
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
    QTest::newRow("unknown name of 256 bytes echoed")
        << component(QByteArray(256, 'n'), "plugin", "1")
        << QStringList { QStringLiteral("noSuchComponent") } << QStringList();
    QTest::newRow("unknown name of 257 bytes left out, the rest answered")
        << component(QByteArray(257, 'n'), "plugin", "1") + component("core", "app", "2.0")
        << QStringList { QStringLiteral("latest") } << QStringList();
    QTest::newRow("unknown name of 129 two-byte characters left out")
        << component(QByteArray("\xc5\xbc").repeated(129), "plugin", "1") << QStringList()
        << QStringList();
    QTest::newRow("unknown name of 64 escaped markup characters echoed")
        << component(QByteArray("&lt;").repeated(64), "plugin", "1")
        << QStringList { QStringLiteral("noSuchComponent") } << QStringList();
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

    const Entries entries = parseReply(reply, asSentByUpdater(inventory));
    QStringList versions;
    for (const auto &entry : entries)
        versions << QString::fromStdString(entry->version());
    QCOMPARE(versions, availableVersions);
}

void tst_UpdateServer::availableUpdateCarriesEveryField()
{
    // The package's size is read from the catalogue folder; a package not there has none.
    QVERIFY(TestEnvironment::writeFile(
        m_catalogue + QStringLiteral("/core-2.0.zip"), QByteArray(1234, 'z')));
    const Entries entries
        = query(component("core", "app", "1") + component("smileys", "plugin", "1"));
    QCOMPARE(entries.size(), size_t(2));
    QCOMPARE(entries.back()->size(), std::int64_t(-1));
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
    QCOMPARE(entry.link(), (BaseUrl + QStringLiteral("/core-2.0.zip")).toStdString());
    QCOMPARE(entry.critical(), true);
    QCOMPARE(entry.timestamp(), 1700000000u);
    QCOMPARE(entry.size(), std::int64_t(1234));
}

void tst_UpdateServer::deltaGoesToItsBaseOnly_data()
{
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QByteArray>("base"); // of the delta offered; empty: none
    QTest::newRow("its base") << QByteArray("1.0") << QByteArray("1.0");
    QTest::newRow("its base by the version order") << QByteArray("1") << QByteArray("1.0");
    QTest::newRow("a base whose delta is not in the folder") << QByteArray("1.5") << QByteArray();
    QTest::newRow("another version") << QByteArray("0.9") << QByteArray();
}

void tst_UpdateServer::deltaGoesToItsBaseOnly()
{
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, base);

    const QString delta = m_catalogue + QStringLiteral("/core-2.0-from-1.0.zip");
    QVERIFY(TestEnvironment::writeFile(delta, QByteArray(99, 'd')));
    QVERIFY(TestEnvironment::writeFile(delta + QStringLiteral(".minisig"), "signed"));
    const Entries entries = query(component("core", "app", installed));
    QCOMPARE(entries.size(), size_t(1));
    const UpdateEntry::Delta &offered = entries.front()->delta();
    QCOMPARE(QByteArray::fromStdString(offered.base), base);
    QCOMPARE(offered.link,
        base.isEmpty() ? std::string()
                       : (BaseUrl + QStringLiteral("/core-2.0-from-1.0.zip")).toStdString());
    QCOMPARE(offered.size, base.isEmpty() ? std::int64_t(-1) : std::int64_t(99));
    QCOMPARE(offered.signature, base.isEmpty() ? std::string() : std::string("signed"));
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
        const QDomElement element = document.documentElement()
                                        .firstChildElement(QStringLiteral("request"))
                                        .lastChildElement();
        return element.tagName() == QLatin1String("signature") ? element.text() : element.tagName();
    };
    QCOMPARE(last(), QStringLiteral("timestamp"));
    // Published while the server runs, with a new index as mkpackage does: the next query
    // carries it.
    const QString signaturePath = m_catalogue + QStringLiteral("/core-2.0.zip.minisig");
    QVERIFY(TestEnvironment::writeFile(signaturePath, file));
    const QString index = m_catalogue + QStringLiteral("/index.xml");
    QVERIFY(TestEnvironment::writeFile(index + QStringLiteral(".new"), indexXml()));
    QCOMPARE(std::rename(QFile::encodeName(index + QStringLiteral(".new")).constData(),
                 QFile::encodeName(index).constData()),
        0);
    QCOMPARE(last(), lastElement);
    // Re-signed in place, the index untouched: seen within a second or so.
    const QByteArray resigned = "untrusted comment: re-signed\nRUQBAgMEBQYHCA==\n";
    QVERIFY(TestEnvironment::writeFile(signaturePath, resigned));
    QTRY_COMPARE_WITH_TIMEOUT(last(), QString::fromUtf8(resigned), 10000);
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
    QCOMPARE(parseReply(reply, request).size(), size_t(1));
}

void tst_UpdateServer::baseUrl()
{
    QVERIFY(startServer(
        { QStringLiteral("--base-url"), QStringLiteral("http://cdn.orvi.example/pkg/") }));
    const Entries entries = query(component("core", "app", "1"));
    QCOMPARE(entries.size(), size_t(1));
    QCOMPARE(entries.front()->link(), std::string("http://cdn.orvi.example/pkg/core-2.0.zip"));
}

void tst_UpdateServer::endOfExchange_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("offers");

    // An answered exchange closes; a dropped one (no offers) resets, so that nothing of it
    // stays queued.
    QTest::newRow("answered") << asSentByUpdater(component("core", "app", "1")) << 1;
    QTest::newRow("large request answered in its turn")
        << asSentByUpdater(component("core", "app", "1").repeated(1500)) << 1500;
    QTest::newRow("from an updater before answers bound to the request, for its nonce")
        << QByteArray("<s nonce=\"" + Nonce + "\">" + component("core", "app", "1") + "</s>") << 1;
    QTest::newRow("from an updater before signed answers, answered for no nonce")
        << QByteArray("<s>" + component("core", "app", "1") + "</s>") << 1;
    QTest::newRow("nothing sent") << QByteArray() << 0;
    QTest::newRow("nonce not 64 hexadecimal digits")
        << QByteArray("<s nonce=\"0f\">" + component("core", "app", "1") + "</s>") << 0;
    QTest::newRow("no closing marker") << QByteArray("<s><component name=\"core\"/>") << 0;
    QTest::newRow("malformed inventory") << QByteArray("<s><component name=\"core\"></s>") << 0;
    QTest::newRow("too long") << QByteArray("<s>") + QByteArray(1024 * 1024 + 10, ' ') << 0;
    QTest::newRow("more components than a reply may carry")
        << asSentByUpdater(component("core", "app", "1").repeated(10001)) << 0;
}

void tst_UpdateServer::endOfExchange()
{
    QFETCH(QByteArray, request);
    QFETCH(int, offers);
    QVERIFY(startServer({ QStringLiteral("--idle-timeout"), QStringLiteral("400") }));

    const Ending ending = plainExchange(m_updatePort, request);
    QCOMPARE(ending.reset, offers == 0);
    if (offers > 0 && !request.contains("<answerForm "))
        QVERIFY(signedForNonce(ending.received, request.startsWith("<s>") ? QByteArray() : Nonce));
    else if (offers > 0)
        QCOMPARE(parseReply(ending.received, request).size(), size_t(offers));
    else
        QCOMPARE(ending.received, QByteArray());
}

void tst_UpdateServer::limits_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("held");
    QTest::addColumn<QString>("extraFrom");
    QTest::addColumn<bool>("extraAnswered");
    QTest::addColumn<bool>("heldAnswered");
    QTest::addColumn<QString>("loggedFirst");
    QTest::addColumn<QString>("loggedThen");

    // The held clients, from 127.0.0.1, send part of a request and stop; one more client then
    // sends a whole one. The held ones then finish their requests, or trickle on.
    const QString local = QStringLiteral("127.0.0.1");
    const QStringList perAddress { QStringLiteral("--max-connections-per-address"),
        QStringLiteral("3") };
    QTest::newRow("unfinished request cut at the deadline, others answered meanwhile")
        << QStringList { QStringLiteral("--request-deadline"), QStringLiteral("1000") } << 1
        << local << true << false << QStringLiteral("1 components: 1 available")
        << QStringLiteral("dropped: no complete request within 1000 ms");
    QTest::newRow("connection over the per-address limit closed at once, the others served")
        << perAddress << 3 << local << false << true << QStringLiteral("refused 127.0.0.1:")
        << QStringLiteral("1 components: 1 available");
    QTest::newRow("another address served beside one at the per-address limit")
        << perAddress << 3 << QStringLiteral("127.0.0.2") << true << true
        << QStringLiteral("update 127.0.0.2:") << QStringLiteral("update 127.0.0.1:");
    QTest::newRow("no per-address limit: all served")
        << QStringList { QStringLiteral("--max-connections-per-address"), QStringLiteral("0") }
        << 120 << local << true << true << QStringLiteral("update 127.0.0.1:")
        << QStringLiteral("connections: 121 accepted");
}

void tst_UpdateServer::limits()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, held);
    QFETCH(QString, extraFrom);
    QFETCH(bool, extraAnswered);
    QFETCH(bool, heldAnswered);
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
    const Ending extra = plainExchange(m_updatePort, request, qPrintable(extraFrom));
    QCOMPARE(extra.reset, !extraAnswered);
    if (extraAnswered)
        QCOMPARE(parseReply(extra.received, request).size(), size_t(1));
    else
        QCOMPARE(extra.received, QByteArray());

    for (const auto &socket : heldSockets) {
        if (!heldAnswered) {
            // Still sending, a byte at a time, yet never finishing: the deadline cuts it off
            // long before the client would stop.
            QElapsedTimer sending;
            sending.start();
            while (socket->state() == QAbstractSocket::ConnectedState && sending.elapsed() < 5000) {
                socket->write(" ");
                socket->waitForBytesWritten(200);
                socket->waitForDisconnected(200);
            }
            QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(socket->readAll(), QByteArray());
            continue;
        }
        socket->write(request.mid(20));
        QByteArray reply;
        while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(5000))
            reply += socket->readAll();
        QCOMPARE(parseReply(reply + socket->readAll(), request).size(), size_t(1));
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

void tst_UpdateServer::proxyProtocol_data()
{
    QTest::addColumn<QByteArray>("heldLine");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("logged");

    // At most one connection from a client's address; the held one, if any, waits first.
    const QByteArray client = proxyLine("192.0.2.7", 51234);
    const QByteArray none;
    QTest::newRow("TCP4: the client's address logged")
        << none << client << true << QStringLiteral("update 192.0.2.7:51234 1 components");
    QTest::newRow("TCP6: the client's address logged")
        << none << QByteArray("PROXY TCP6 2001:db8::7 2001:db8::1 51234 443\r\n") << true
        << QStringLiteral("update 2001:db8::7:51234 1 components");
    QTest::newRow("UNKNOWN: the proxy's own address")
        << none << QByteArray("PROXY UNKNOWN\r\n") << true << QStringLiteral("update 127.0.0.1:");
    QTest::newRow("no line: dropped")
        << none << none << false << QStringLiteral("dropped: no PROXY protocol line: %3Cs");
    QTest::newRow("address out of range: dropped")
        << none << proxyLine("192.0.2.300", 51234) << false
        << QStringLiteral("dropped: no PROXY protocol line: PROXY TCP4 192.0.2.300");
    QTest::newRow("IPv6 address in a TCP4 line: dropped")
        << none << proxyLine("2001:db8::7", 51234) << false
        << QStringLiteral("dropped: no PROXY protocol line");
    QTest::newRow("port out of range: dropped")
        << none << proxyLine("192.0.2.7", 65536) << false
        << QStringLiteral("dropped: no PROXY protocol line");
    QTest::newRow("field missing: dropped")
        << none << QByteArray("PROXY TCP4 192.0.2.7 127.0.0.1 51234\r\n") << false
        << QStringLiteral("dropped: no PROXY protocol line");
    QTest::newRow("line past 107 bytes: dropped")
        << none << "PROXY TCP4 " + QByteArray(100, '1') + "\r\n"
        << false << QStringLiteral("dropped: no PROXY protocol line");
    QTest::newRow("a client at its address's limit refused")
        << client << proxyLine("192.0.2.7", 51235) << false
        << QStringLiteral("refused 192.0.2.7:51235: 1 connections open from its address");
    QTest::newRow("another client beside one at the limit answered")
        << client << proxyLine("192.0.2.8", 51235) << true
        << QStringLiteral("update 192.0.2.8:51235 1 components");
}

void tst_UpdateServer::proxyProtocol()
{
    QFETCH(QByteArray, heldLine);
    QFETCH(QByteArray, line);
    QFETCH(bool, answered);
    QFETCH(QString, logged);
    QVERIFY(startServer({ QStringLiteral("--proxy-protocol"),
        QStringLiteral("--max-connections-per-address"), QStringLiteral("1") }));

    const QByteArray request = asSentByUpdater(component("core", "app", "1"));
    quint16 heldPort = 0;
    const int held
        = heldLine.isEmpty() ? -1 : openHeld(m_updatePort, "127.0.0.1", heldLine + "<s", &heldPort);
    QCOMPARE(held >= 0, !heldLine.isEmpty());
    const Ending ending = plainExchange(m_updatePort, line + request);
    if (held >= 0)
        ::close(held);
    QCOMPARE(ending.reset, !answered);
    if (answered)
        QCOMPARE(parseReply(ending.received, request).size(), size_t(1));
    else
        QCOMPARE(ending.received, QByteArray());
    const QStringList log = stopServer();
    QVERIFY2(log.filter(logged).size() == 1, qPrintable(log.join(QLatin1Char('\n'))));
}

void tst_UpdateServer::idleMakeRoomAtTheLimit_data()
{
    QTest::addColumn<bool>("proxied");
    QTest::addColumn<QByteArrayList>("held");
    QTest::addColumn<QByteArray>("extraFrom");
    QTest::addColumn<int>("dropped");

    // As many held connections, each with part of its request, as the server takes at once;
    // then one more client comes with a whole request. A held one marked "!" has sent a whole
    // request instead and does not take its large reply: it waits for nothing of its own.
    const QByteArray a = "127.0.0.2";
    const QByteArray b = "127.0.0.3";
    const QByteArray c = "127.0.0.4";
    QTest::newRow("the oldest of the address with the most")
        << false << QByteArrayList { b, a, b, a, a } << c << 1;
    QTest::newRow("the newcomer's own address when it has the most")
        << false << QByteArrayList { a, a, b } << a << 0;
    QTest::newRow("one connection each: the oldest")
        << false << QByteArrayList { b, a, c } << QByteArray("127.0.0.5") << 0;
    QTest::newRow("behind a proxy, by the clients' addresses")
        << true << QByteArrayList { "10.0.0.2", "10.0.0.1", "10.0.0.1" } << QByteArray("10.0.0.3")
        << 1;
    QTest::newRow("none waiting for its request: the new one refused")
        << false << QByteArrayList { "127.0.0.2!", "127.0.0.3!" } << c << -1;
}

void tst_UpdateServer::idleMakeRoomAtTheLimit()
{
    QFETCH(bool, proxied);
    QFETCH(QByteArrayList, held);
    QFETCH(QByteArray, extraFrom);
    QFETCH(int, dropped);
    QStringList arguments { QStringLiteral("--max-connections"), QString::number(held.size()) };
    if (proxied)
        arguments << QStringLiteral("--proxy-protocol");
    QVERIFY(startServer(arguments));

    // Behind the proxy every connection comes from 127.0.0.1, and its line names the client.
    const QByteArray request = asSentByUpdater(component("core", "app", "1"));
    const auto opening = [proxied](const QByteArray &client, int i) {
        return proxied ? proxyLine(client, 40000 + i) : QByteArray();
    };
    const QByteArray large = asSentByUpdater(component("core", "app", "1").repeated(1500));
    QList<int> sockets;
    QStringList peers;
    for (qsizetype i = 0; i < held.size(); ++i) {
        const bool busy = held.at(i).endsWith('!');
        const QByteArray client = held.at(i).chopped(busy ? 1 : 0);
        quint16 port = 0;
        sockets << openHeld(m_updatePort, proxied ? "127.0.0.1" : client.constData(),
            opening(client, int(i)) + (busy ? large : request.left(20)), &port, busy ? 4096 : 0);
        QVERIFY(sockets.constLast() >= 0);
        char first = 0;
        // The reply has begun, and the rest waits for room in the socket.
        QVERIFY(!busy || ::recv(sockets.constLast(), &first, 1, MSG_PEEK) == 1);
        peers << QStringLiteral("update %1:%2 ")
                     .arg(QString::fromLatin1(client))
                     .arg(proxied ? 40000 + i : port);
    }
    const Ending extra = plainExchange(m_updatePort, opening(extraFrom, 99) + request,
        proxied ? "127.0.0.1" : extraFrom.constData());
    QCOMPARE(extra.reset, dropped < 0);
    if (dropped < 0)
        QCOMPARE(extra.received, QByteArray());
    else
        QCOMPARE(parseReply(extra.received, request).size(), size_t(1));

    for (qsizetype i = 0; i < sockets.size(); ++i) {
        if (held.at(i).endsWith('!')) {
            ::close(sockets.at(i));
            continue;
        }
        const Ending ending = finishHeld(sockets.at(i), request.mid(20));
        if (i == dropped)
            QCOMPARE(ending.received, QByteArray());
        else
            QCOMPARE(parseReply(ending.received, request).size(), size_t(1));
    }
    const QStringList log = stopServer();
    const QStringList drops = log.filter(QStringLiteral("dropped: the oldest connection waiting"));
    const QString expected = dropped < 0
        ? QStringLiteral("refused %1:").arg(QString::fromLatin1(extraFrom))
        : peers.at(dropped);
    QVERIFY2(drops.size() == (dropped < 0 ? 0 : 1)
            && std::any_of(log.cbegin(), log.cend(),
                [&expected](const QString &line) { return line.startsWith(expected); }),
        qPrintable(log.join(QLatin1Char('\n'))));
}

void tst_UpdateServer::replyNotTakenIsCutAtTheDeadline()
{
    QVERIFY(startServer({ QStringLiteral("--request-deadline"), QStringLiteral("1000") }));
    // A reply of some MiB to a client that takes only its first few KiB: the server's send
    // buffer fills and stays full, with the connection otherwise alive.
    QTcpSocket socket;
    socket.setReadBufferSize(4096);
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    socket.connectToHost(QHostAddress::LocalHost, m_updatePort);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(asSentByUpdater(component("core", "app", "1").repeated(10000)));
    QVERIFY(socket.waitForBytesWritten(5000));
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += m_server->readAllStandardError())
                                 .contains("did not take the reply within 1000 ms, aborted"),
        10000);
}

void tst_UpdateServer::memoryBudget_data()
{
    QTest::addColumn<int>("components");
    QTest::addColumn<bool>("firstTakenBefore");
    QTest::addColumn<bool>("answered");

    // With a budget of 1 MiB, a first client leaves a reply of about 0.7 MiB untaken; a second
    // then asks about that many components, or one.
    QTest::newRow("a second large reply past the budget: reset") << 1500 << false << false;
    QTest::newRow("a small reply beside the held one: answered") << 1 << false << true;
    QTest::newRow("a large reply once the first is taken: answered") << 1500 << true << true;
}

void tst_UpdateServer::memoryBudget()
{
    QFETCH(int, components);
    QFETCH(bool, firstTakenBefore);
    QFETCH(bool, answered);
    QVERIFY(startServer({ QStringLiteral("--memory-budget"), QStringLiteral("1"),
        QStringLiteral("--socket-buffer"), QStringLiteral("16") }));

    const QByteArray large = asSentByUpdater(component("core", "app", "1").repeated(1500));
    QTcpSocket first;
    first.setReadBufferSize(4096);
    first.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    first.connectToHost(QHostAddress::LocalHost, m_updatePort);
    QVERIFY(first.waitForConnected(5000));
    first.write(large);
    // Its first bytes come once the server holds the rest.
    QVERIFY(first.waitForReadyRead(5000));
    if (firstTakenBefore) {
        first.setReadBufferSize(0);
        QByteArray reply;
        while (first.state() == QAbstractSocket::ConnectedState && first.waitForReadyRead(5000))
            reply += first.readAll();
        QCOMPARE(parseReply(reply + first.readAll(), large).size(), size_t(1500));
    }

    const QByteArray request = asSentByUpdater(component("core", "app", "1").repeated(components));
    const Ending second = plainExchange(m_updatePort, request);
    QCOMPARE(second.reset, !answered);
    if (answered)
        QCOMPARE(parseReply(second.received, request).size(), size_t(components));
    else
        QVERIFY(!second.received.endsWith("</updates>\n"));
    QByteArray log;
    if (!answered) {
        QTRY_VERIFY_WITH_TIMEOUT(
            (log += m_server->readAllStandardError()).contains("over the memory budget"), 10000);
    }
}

void tst_UpdateServer::catalogueChangedWhileServing_data()
{
    QTest::addColumn<QByteArray>("newIndex");
    QTest::addColumn<QString>("offered");

    QByteArray newer = indexXml();
    newer.replace("<version>2.0</version>", "<version>3.0</version>");
    QTest::newRow("new index renamed over the old") << newer << QStringLiteral("3.0");
    QTest::newRow("broken index renamed over the old: the old one stays until a good one")
        << QByteArray("<catalogue><component project=\"orvi\"") << QStringLiteral("2.0");
}

void tst_UpdateServer::catalogueChangedWhileServing()
{
    QFETCH(QByteArray, newIndex);
    QFETCH(QString, offered);

    const auto offeredVersion = [this] {
        const Entries entries = query(component("core", "app", "1"));
        return entries.size() == 1 ? QString::fromStdString(entries.front()->version()) : QString();
    };
    const QString index = m_catalogue + QStringLiteral("/index.xml");
    const auto publish = [&index](const QByteArray &content) {
        return TestEnvironment::writeFile(index + QStringLiteral(".new"), content)
            && std::rename(QFile::encodeName(index + QStringLiteral(".new")).constData(),
                   QFile::encodeName(index).constData())
            == 0;
    };
    for (int i = 0; i < 3; ++i)
        QCOMPARE(offeredVersion(), QStringLiteral("2.0"));
    QVERIFY(publish(newIndex));
    QCOMPARE(offeredVersion(), offered);
    QCOMPARE(offeredVersion(), offered);
    QByteArray newest = indexXml();
    newest.replace("<version>2.0</version>", "<version>4.0</version>");
    QVERIFY(publish(newest));
    QCOMPARE(offeredVersion(), QStringLiteral("4.0"));

    // Read once per index published, not once per query.
    const QStringList reads = stopServer().filter(QStringLiteral("catalogue read: "));
    QCOMPARE(reads.size(), offered == QLatin1String("3.0") ? 3 : 2);
}

void tst_UpdateServer::oneLogLinePerExchangeAndCleanStop()
{
    const QByteArray request = asSentByUpdater(component("core", "app", "1"));
    const QByteArray reply = exchange(request);
    QCOMPARE(parseReply(reply, request).size(), size_t(1));

    m_server->terminate();
    QVERIFY(m_server->waitForFinished(5000));
    QCOMPARE(m_server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_server->exitCode(), 0);
    const QStringList log = QString::fromUtf8(m_server->readAllStandardError())
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList exchanges;
    for (const QString &line : log) {
        const QString text = line.section(QLatin1Char(' '), 1);
        if (text.startsWith(QLatin1String("update ")))
            exchanges << text.section(QLatin1Char(' '), 0, 0) + QLatin1Char(' ')
                    + text.section(QLatin1Char(' '), 2);
    }
    QCOMPARE(exchanges,
        QStringList(
            QStringLiteral("update 1 components: 1 available, 0 latest, 0 unknown; %1 bytes")
                .arg(reply.size())));
    QVERIFY(log.last().endsWith(QLatin1String(" stopped")));
    m_server.reset();
}

void tst_UpdateServer::refusesToStart_data()
{
    QTest::addColumn<QByteArray>("index");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("statement"); // with the server key when not empty
    QTest::addColumn<QByteArray>("message");

    const QStringList serving { QStringLiteral("--base-url"), BaseUrl };
    QTest::newRow("package signature as the delegation")
        << indexXml() << serving
        << TestSigning::delegation(QDateTime::currentDateTimeUtc().addDays(1),
               QStringLiteral("test"), QStringLiteral("server"),
               TestSigning::comment("core", "1", "core.zip"))
        << QByteArray("not a signature of a server key");
    QTest::newRow("package outside the folder")
        << QByteArray("<catalogue><component project=\"orvi\" name=\"core\" type=\"app\">"
                      "<version>2</version><package>../core.zip</package></component></catalogue>")
        << serving << QByteArray() << QByteArray("index.xml:1");
    QTest::newRow("no base URL") << indexXml() << QStringList() << QByteArray()
                                 << QByteArray("--base-url");
    QTest::newRow("base URL not a URL")
        << indexXml() << QStringList { QStringLiteral("--base-url"), QStringLiteral("http://[x") }
        << QByteArray() << QByteArray("not a URL");
}

void tst_UpdateServer::refusesToStart()
{
    QFETCH(QByteArray, index);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, statement);
    QFETCH(QByteArray, message);

    QVERIFY(TestEnvironment::writeFile(m_catalogue + QStringLiteral("/index.xml"), index));
    if (!statement.isEmpty()) {
        const QString file = m_environment->root() + QStringLiteral("/statement");
        QVERIFY(TestEnvironment::writeFile(file, statement));
        arguments << QStringLiteral("--server-key")
                  << TestSigning::keyFile(QStringLiteral("server"), ".key")
                  << QStringLiteral("--delegation") << file;
    }
    QProcess server;
    server.start(QStringLiteral(ORVI_UPDATE_SERVER_BINARY),
        QStringList { QStringLiteral("--catalogue"), m_catalogue, QStringLiteral("--update-port"),
            QStringLiteral("0") }
            + arguments);
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 1);
    const QByteArray errors = server.readAllStandardError();
    QVERIFY2(errors.contains(message), errors.constData());
    QCOMPARE(server.readAllStandardOutput(), QByteArray());
}

void tst_UpdateServer::delegationRunsOut_data()
{
    QTest::addColumn<int>("expiresIn"); // seconds from now
    QTest::addColumn<bool>("warned");

    QTest::newRow("ends in a month") << 30 * 24 * 3600 << false;
    QTest::newRow("ends within a week: a warning at the start") << 6 * 24 * 3600 << true;
    // The updaters would refuse any answer after it; none is given, and the log says why.
    QTest::newRow("ends while the server runs: then closed unanswered") << 4 << true;
}

void tst_UpdateServer::delegationRunsOut()
{
    QFETCH(int, expiresIn);
    QFETCH(bool, warned);
    const QString statement = m_environment->root() + QStringLiteral("/short.delegation");
    QVERIFY(TestEnvironment::writeFile(
        statement, TestSigning::delegation(QDateTime::currentDateTimeUtc().addSecs(expiresIn))));
    QVERIFY(startServer({ QStringLiteral("--delegation"), statement }));

    const QByteArray request = asSentByUpdater(component("core", "app", "1"));
    QCOMPARE(parseReply(exchange(request), request).size(), size_t(1));
    const bool runsOut = expiresIn < 60;
    QByteArray log;
    if (runsOut) {
        Ending ending;
        QTRY_VERIFY_WITH_TIMEOUT(
            (ending = plainExchange(m_updatePort, request)).received.isEmpty(), 15000);
        QVERIFY(!ending.reset);
        // The expiry's own line comes from a timer, a little after the expiry.
        QTRY_VERIFY_WITH_TIMEOUT(
            (log += m_server->readAllStandardError()).contains(": update queries are closed"),
            10000);
    }
    m_server->terminate();
    QVERIFY(m_server->waitForFinished(5000));
    log += m_server->readAllStandardError();
    m_server.reset();

    const QString text = QString::fromUtf8(log);
    const auto count = [&text](const char *pattern) {
        return text.count(
            QRegularExpression(QLatin1String(pattern), QRegularExpression::MultilineOption));
    };
    QCOMPARE(
        count(" warning: the delegation of server key [0-9A-F]{16} expires at "), warned ? 1 : 0);
    QCOMPARE(count(" the delegation of server key [0-9A-F]{16} expired at .*: update queries are "
                   "closed unanswered"),
        runsOut ? 1 : 0);
    // Each query after the expiry, the test's polls among them.
    QCOMPARE(count(" update .* closed unanswered: the server key's delegation expired at ") > 0,
        runsOut);
}

QTEST_GUILESS_MAIN(tst_UpdateServer)

#include "tst_updateserver.moc"
