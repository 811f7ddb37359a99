#include "fakeupdateserver.h"
#include "testtls.h"
#include "updateentry.h"
#include "updatequery.h"
#include "updatequeryclient.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QtTest>

namespace {

const QByteArray Nonce = QByteArray("5a").repeated(32);
const QByteArray Request = UpdateQuery::request("<s>ABC</s>", Nonce);

const QByteArray &NoUpdates = FakeUpdateServer::NoUpdates;
const QByteArray &ThreeUpdates = FakeUpdateServer::ThreeUpdates;

QStringList names(const std::vector<std::unique_ptr<UpdateEntry>> &entries)
{
    QStringList result;
    for (const std::unique_ptr<UpdateEntry> &entry : entries)
        result << QString::fromUtf8(QByteArray::fromStdString(entry->name()));
    return result;
}

// The authorities of tests/keys/tls named, as one list.
QList<QSslCertificate> authorities(const QStringList &names)
{
    QList<QSslCertificate> result;
    for (const QString &name : names)
        result += TestTls::certificates(name);
    return result;
}

// The test authority in place of the system's, as the test builds' updater has it.
ServerTrust testTrust()
{
    return ServerTrust::system().withAuthorities(authorities({ QStringLiteral("ca") }));
}

quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

Q_DECLARE_METATYPE(FakeUpdateServer::Script)

/*
 * The exchange with the update server: the request goes out whole, and the reply is taken
 * as soon as it is one complete document, or given up within the limits and bounds.
 */
class tst_UpdateQueryClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void replyArrivals_data();
    void replyArrivals();
    void replyNeverCompletes_data();
    void replyNeverCompletes();
    void unreachableServer();
    void queryTunnelsThroughProxy_data();
    void queryTunnelsThroughProxy();
    void certificateIsVerified_data();
    void certificateIsVerified();

private:
    UpdateQueryClient client(int networkTimeout = 20000, int queryTimeout = 60000) const
    {
        return UpdateQueryClient(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()),
            testTrust(), networkTimeout, queryTimeout);
    }

    std::unique_ptr<FakeUpdateServer> m_server;
};

void tst_UpdateQueryClient::initTestCase()
{
    // Roots a run of these tests left in the Wine prefix's store, killed before it took them out.
    if (!qEnvironmentVariableIsSet("ORVI_TEST_ROOTS_IN_PLACE")) {
        for (const char *root : { "otherca", "fakeca" })
            TestTls::removeWineRoot(QLatin1String(root));
    }
}

void tst_UpdateQueryClient::init()
{
    m_server = std::make_unique<FakeUpdateServer>();
    QVERIFY(m_server->port() != 0);
    // The client is given the trust it queries with, so TLS also where the build's own
    // updater queries over plain TCP (ORVI_UNSIGNED_PACKAGES).
    m_server->setPlain(false);
}

void tst_UpdateQueryClient::cleanup()
{
    m_server.reset();
}

void tst_UpdateQueryClient::replyArrivals_data()
{
    QTest::addColumn<FakeUpdateServer::Script>("script");
    QTest::addColumn<QStringList>("names");

    const QStringList three { QStringLiteral("core"), QStringLiteral("gg"),
        QStringLiteral("skin") };
    using Script = FakeUpdateServer::Script;
    const auto open = FakeUpdateServer::Ending::StayOpen;
    QTest::newRow("at once") << Script { 0, { ThreeUpdates }, 0, open } << three;
    QTest::newRow("after a delay") << Script { 300, { ThreeUpdates }, 0, open } << three;
    // The server stays silent after the last piece: a query that waited for more would fail.
    QTest::newRow("in pieces") << Script { 0,
        { ThreeUpdates.left(1), ThreeUpdates.mid(1, 40), ThreeUpdates.mid(41) }, 100, open }
                               << three;
    QTest::newRow("cut inside a multi-byte character")
        << Script { 0, { "<reply><request name=\"caf\xc3", "\xa9\"/></reply>" }, 100, open }
        << QStringList { QStringLiteral("caf\u00e9") };
    QTest::newRow("without updates") << Script { 0, { NoUpdates }, 0, open } << QStringList();
    QTest::newRow("closed after the reply")
        << Script { 0, { ThreeUpdates }, 0, FakeUpdateServer::Ending::Close } << three;
}

void tst_UpdateQueryClient::replyArrivals()
{
    QFETCH(FakeUpdateServer::Script, script);
    QFETCH(QStringList, names);
    m_server->setScript(script);

    UpdateQueryClient query = client();
    const UpdateQueryClient::Reply reply = query.exchange(Request, ComponentAnswers());
    QCOMPARE(reply.outcome, UpdateQueryClient::Outcome::Received);
    QCOMPARE(::names(reply.entries), names);
    // A server that closes at once may close before it has read the request.
    if (script.ending == FakeUpdateServer::Ending::StayOpen)
        QTRY_COMPARE_WITH_TIMEOUT(m_server->received(), Request, 10000);
    QCOMPARE(m_server->connections(), 1);
}

void tst_UpdateQueryClient::replyNeverCompletes_data()
{
    QTest::addColumn<FakeUpdateServer::Script>("script");
    QTest::addColumn<int>("networkTimeout");
    QTest::addColumn<int>("queryTimeout");
    QTest::addColumn<int>("outcome"); // UpdateQueryClient::Outcome

    using Script = FakeUpdateServer::Script;
    const auto open = FakeUpdateServer::Ending::StayOpen;
    const auto close = FakeUpdateServer::Ending::Close;
    const int broken = int(UpdateQueryClient::Outcome::ExchangeFailed);
    // What came over TLS is what the server sent: a network can cut it short, not make it.
    const int refused = int(UpdateQueryClient::Outcome::AnswerRefused);
    // Ended by the wait for a further piece.
    QTest::newRow("silent") << Script() << 500 << 60000 << broken;
    QTest::newRow("part of a reply, then silent")
        << Script { 0, { ThreeUpdates.left(30) }, 0, open } << 500 << 60000 << broken;
    QTest::newRow("closed at once") << Script { 0, {}, 0, close } << 500 << 60000 << broken;
    QTest::newRow("part of a reply, then closed")
        << Script { 0, { ThreeUpdates.left(30) }, 0, close } << 500 << 60000 << broken;
    // Ended by the limit on the whole exchange.
    QList<QByteArray> bytes;
    for (char byte : ThreeUpdates.left(40))
        bytes << QByteArray(1, byte);
    QTest::newRow("one byte at a time")
        << Script { 0, bytes, 200, open } << 20000 << 1500 << broken;
    // Ended at once, by bytes that can never become a reply.
    QTest::newRow("text before the root")
        << Script { 0, { "junk<reply>" }, 0, open } << 20000 << 20000 << refused;
    QTest::newRow("mismatched end tag")
        << Script { 0, { "<reply></request>" }, 0, open } << 20000 << 20000 << refused;
    QTest::newRow("second root") << Script { 0, { "<reply/><reply>" }, 0, open } << 20000 << 20000
                                 << refused;
    QTest::newRow("nested too deep")
        << Script { 0, { QByteArray("<a>").repeated(300) }, 0, open } << 20000 << 20000 << refused;
    // Ended by the bounds of a reply, long before the server runs dry.
    for (const QByteArray &unit : { QByteArray("x"), QByteArray("<a>"), QByteArray("<<") }) {
        Script flood;
        flood.ending = FakeUpdateServer::Ending::Flood;
        flood.floodUnit = unit;
        QTest::addRow("flood of %s", unit.constData()) << flood << 20000 << 60000 << refused;
    }
}

void tst_UpdateQueryClient::replyNeverCompletes()
{
    QFETCH(FakeUpdateServer::Script, script);
    QFETCH(int, networkTimeout);
    QFETCH(int, queryTimeout);
    QFETCH(int, outcome);
    m_server->setScript(script);

    UpdateQueryClient query = client(networkTimeout, queryTimeout);
    QElapsedTimer elapsed;
    elapsed.start();
    const UpdateQueryClient::Reply reply = query.exchange(Request, ComponentAnswers());
    QCOMPARE(int(reply.outcome), outcome);
    QVERIFY(reply.entries.empty());
    QVERIFY2(elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY2(m_server->flooded() < script.floodLimit / 4,
        qPrintable(QString::number(m_server->flooded())));
}

void tst_UpdateQueryClient::unreachableServer()
{
    const quint16 port = closedPort();
    QVERIFY(port != 0);
    UpdateQueryClient query(
        UpdateServer(QStringLiteral("127.0.0.1"), port), testTrust(), 5000, 60000);
    QCOMPARE(query.exchange(Request, ComponentAnswers()).outcome,
        UpdateQueryClient::Outcome::ConnectFailed);
}

void tst_UpdateQueryClient::queryTunnelsThroughProxy_data()
{
    QTest::addColumn<int>("tunnel"); // FakeUpdateServer::Tunnel; -1: nothing listens
    QTest::newRow("tunnel accepted") << int(FakeUpdateServer::Tunnel::Accept);
    QTest::newRow("tunnel refused") << int(FakeUpdateServer::Tunnel::Refuse);
    QTest::newRow("proxy not listening") << -1;
}

void tst_UpdateQueryClient::queryTunnelsThroughProxy()
{
    QFETCH(int, tunnel);
    quint16 port = m_server->proxyPort();
    if (tunnel < 0) {
        port = closedPort();
        QVERIFY(port != 0);
    } else {
        m_server->setScript({ 0, { NoUpdates }, 0, FakeUpdateServer::Ending::StayOpen, 0, {},
            FakeUpdateServer::Tunnel(tunnel) });
    }
    qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(port));
    // Only the proxy knows this name: a query that went direct would fail to resolve it.
    UpdateQueryClient query(
        UpdateServer(QStringLiteral("updates.orvi.test"), 443), testTrust(), 5000, 60000);
    const UpdateQueryClient::Reply reply = query.exchange(Request, ComponentAnswers());
    qunsetenv("https_proxy");

    if (tunnel == int(FakeUpdateServer::Tunnel::Accept)) {
        QCOMPARE(reply.outcome, UpdateQueryClient::Outcome::Received);
        QCOMPARE(m_server->tunnelRequests(),
            QList<QByteArray> { "CONNECT updates.orvi.test:443 HTTP/1.1" });
        QTRY_COMPARE_WITH_TIMEOUT(m_server->received(), Request, 10000);
        // Inside the tunnel, for the server's name.
        QCOMPARE(m_server->handshakes(), 1);
        return;
    }
    QCOMPARE(reply.outcome, UpdateQueryClient::Outcome::ProxyFailed);
    QCOMPARE(reply.proxy, QStringLiteral("127.0.0.1:%1").arg(port));
    QVERIFY(!reply.socketError.isEmpty());
}

void tst_UpdateQueryClient::certificateIsVerified_data()
{
    QTest::addColumn<QString>("certificate"); // the server's, of tests/keys/tls; empty: plain
    QTest::addColumn<QStringList>("authorities"); // in place of the system's
    QTest::addColumn<QStringList>("systemRoots"); // trusted by the system besides
    QTest::addColumn<QStringList>("pins");
    QTest::addColumn<int>("outcome"); // UpdateQueryClient::Outcome
    QTest::addColumn<int>("problem"); // UpdateQueryClient::CertificateProblem, when refused
    QTest::addColumn<bool>("byPin"); // refused by the pin, after the backend took it

    using O = UpdateQueryClient::Outcome;
    using P = UpdateQueryClient::CertificateProblem;
    const QStringList ca { QStringLiteral("ca") };
    const QStringList both { QStringLiteral("ca"), QStringLiteral("otherca") };
    const QStringList other { QStringLiteral("otherca") };
    const QStringList fake { QStringLiteral("fakeca") };
    const auto row = [](const char *name, const char *certificate, const QStringList &trusted,
                         const QStringList &system, const QStringList &pins, O outcome,
                         P problem = P::Other, bool byPin = false) {
        QTest::newRow(name) << QString::fromLatin1(certificate) << trusted << system << pins
                            << int(outcome) << int(problem) << byPin;
    };
    row("from a trusted authority", "server", ca, {}, {}, O::Received);
    row("from another authority", "otherca-server", ca, {}, {}, O::CertificateRefused,
        P::OtherAuthority);
    row("expired", "expired", ca, {}, {}, O::CertificateRefused, P::Expired);
    row("for another name", "othername", ca, {}, {}, O::CertificateRefused, P::OtherName);
    row("from the pinned authority", "otherca-server", both, {}, other, O::Received);
    row("from the pinned authority, the system trusting another", "server", ca, other, ca,
        O::Received);
    row("trusted, but not from the pinned authority", "server", both, {}, other,
        O::CertificateRefused, P::OtherAuthority, true);
    // A root of the pinned authority's name, the key its own, that the system trusts (put in
    // its store by a program that intercepts TLS, say): the pin refuses it.
    row("from an authority of the pinned one's name that the system trusts", "fakeca-server", ca,
        fake, ca, O::CertificateRefused, P::OtherAuthority, true);
    // Without it in the system's store the backend already refuses it: its issuer is unknown.
    row("from an authority of the pinned one's name unknown to the system", "fakeca-server", ca, {},
        ca, O::CertificateRefused, P::OtherAuthority);
    // Never a fall-back to plain TCP.
    row("server without TLS", "", ca, {}, {}, O::ExchangeFailed);
}

void tst_UpdateQueryClient::certificateIsVerified()
{
    QFETCH(QString, certificate);
    QFETCH(QStringList, authorities);
    QFETCH(QStringList, systemRoots);
    QFETCH(QStringList, pins);
    QFETCH(int, outcome);
    QFETCH(int, problem);
    QFETCH(bool, byPin);
    m_server->setPlain(certificate.isEmpty());
    if (!certificate.isEmpty())
        m_server->setCertificate(certificate);
    m_server->answer(ThreeUpdates);
    if (certificate.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
            QRegularExpression(QStringLiteral("^The TLS handshake with the update server failed")));
        // Under Wine the system's store is the Wine prefix's own, which Schannel reads once per
        // process: the row runs in a process of its own started once the roots are in place.
        // Elsewhere the backend is given the authorities that a system would add to any set (as
        // Schannel does).
#ifdef Q_OS_WIN
    if (!systemRoots.isEmpty() && !qEnvironmentVariableIsSet("ORVI_TEST_ROOTS_IN_PLACE")) {
        if (!TestTls::underWine())
            QSKIP("The system's store is changed only under Wine, in the build's own prefix");
        const auto removeRoots = qScopeGuard([&systemRoots] {
            for (const QString &root : std::as_const(systemRoots))
                TestTls::removeWineRoot(root);
        });
        for (const QString &root : std::as_const(systemRoots))
            QVERIFY2(TestTls::addWineRoot(root), qPrintable(root));
        QProcess row;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("ORVI_TEST_ROOTS_IN_PLACE"), QStringLiteral("1"));
        row.setProcessEnvironment(environment);
        row.setProcessChannelMode(QProcess::MergedChannels);
        row.start(QCoreApplication::applicationFilePath(),
            { QStringLiteral("certificateIsVerified:")
                + QString::fromUtf8(QTest::currentDataTag()) });
        QVERIFY(row.waitForFinished(120000));
        QVERIFY2(row.exitStatus() == QProcess::NormalExit && row.exitCode() == 0,
            row.readAll().constData());
        return;
    }
#else
    authorities << systemRoots;
#endif

    const ServerTrust trust
        = pins.isEmpty() ? ServerTrust::system() : ServerTrust::pinned(::authorities(pins));
    UpdateQueryClient query(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()),
        trust.withAuthorities(::authorities(authorities)), 5000, 60000);
    const UpdateQueryClient::Reply reply = query.exchange(Request, ComponentAnswers());
    QCOMPARE(int(reply.outcome), outcome);
    if (reply.outcome == UpdateQueryClient::Outcome::Received) {
        QCOMPARE(reply.entries.size(), size_t(3));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->received(), Request, 10000);
        return;
    }
    if (reply.outcome == UpdateQueryClient::Outcome::CertificateRefused) {
        QCOMPARE(int(reply.certificateProblem), problem);
        QVERIFY(!reply.certificateError.isEmpty());
        QVERIFY2((reply.certificateError
                     == QLatin1String(
                         "the root of its chain does not hold the key of the pinned authority"))
                == byPin,
            qPrintable(reply.certificateError));
    }
    // Not a byte of the request reached a server that could not prove itself.
    QVERIFY(reply.entries.empty());
    QVERIFY2(!m_server->received().contains("nonce"), m_server->received().constData());
}

QTEST_GUILESS_MAIN(tst_UpdateQueryClient)
#include "tst_updatequeryclient.moc"
