#include "applicationfolder.h"
#include "entrybuilder.h"
#include "fakeupdateserver.h"
#include "nginxserver.h"
#include "orviupdaterengine.h"
#include "packagesignature.h"
#include "serverprocess.h"
#include "testenvironment.h"
#include "testsigning.h"
#include "updateentry.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes[i] = char(seed >> 24);
    }
    return bytes;
}

UpdateEntry *entry(const QString &name, const QString &link)
{
    return EntryBuilder().name(name).type("plugin").version("1.0").link(link).make();
}

} // namespace

class TestRealServers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nginxRedirectsRefusesHeadAndCuts();
    void tinyproxyCarriesEveryRequest();
    void queryOverTls_data();
    void queryOverTls();

private:
    bool startNginx();
    /// Starts tinyproxy on a free port, handing what goes to .orvi.test to upstream (an HTTP
    /// server or proxy on 127.0.0.1); its log is tinyproxy.log in the work folder.
    quint16 startTinyproxy(quint16 upstream);
    QString fileOf(const QString &path) const
    {
        return m_engine->downloadFolder() + QLatin1Char('/') + path;
    }

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<NginxServer> m_nginx;
    std::unique_ptr<ServerProcess> m_tinyproxy;
    std::unique_ptr<QProcess> m_updateServer;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    QByteArray m_chain;
    QByteArray m_signed;
    QByteArray m_cut;
};

void TestRealServers::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
}

void TestRealServers::cleanup()
{
    if (m_updateServer) {
        m_updateServer->terminate();
        m_updateServer->waitForFinished(10000);
        m_updateServer.reset();
    }
    m_engine.reset();
    m_tinyproxy.reset();
    m_nginx.reset();
    m_work.reset();
    m_environment.reset();
}

bool TestRealServers::startNginx()
{
    const QString www = m_work->path() + QStringLiteral("/www");
    m_chain = randomBytes(300 * 1024, 1);
    m_signed = randomBytes(200 * 1024, 2);
    m_cut = randomBytes(768 * 1024, 3);
    if (!TestEnvironment::writeFile(www + QStringLiteral("/chain.zip"), m_chain)
        || !TestEnvironment::writeFile(www + QStringLiteral("/signed.zip"), m_signed)
        || !TestEnvironment::writeFile(www + QStringLiteral("/cut.zip"), m_cut))
        return false;
    m_nginx = std::make_unique<NginxServer>();
    return m_nginx->start(www,
        "        location = /chain1.zip { return 302 /chain2.zip; }\n"
        "        location = /chain2.zip { return 301 /chain.zip; }\n"
        "        location = /signed.zip { if ($request_method = HEAD) { return 403; } }\n"
        "        location = /cut.zip { limit_rate 256k; }\n");
}

void TestRealServers::nginxRedirectsRefusesHeadAndCuts()
{
    if (!NginxServer::isInstalled())
        QSKIP("nginx is not installed (scripts/install-deps.sh installs it)");
    QVERIFY2(startNginx(), m_nginx ? m_nginx->errorLog().constData() : "no test files");

    const QString base = m_nginx->url(QString());
    EngineSettings settings;
    // The transfer is under test here; the signature check has tests of its own.
    settings.unsignedAllowed = true;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    m_engine->adoptUpdates({ entry(QStringLiteral("chain"), base + QStringLiteral("/chain1.zip")),
        entry(QStringLiteral("signed"), base + QStringLiteral("/signed.zip")),
        entry(QStringLiteral("cut"), base + QStringLiteral("/cut.zip")) });
    QSignalSpy finished(m_engine.get(), &OrviUpdaterEngine::downloadFinished);
    QSignalSpy errors(m_engine.get(), &OrviUpdaterEngine::error);
    QList<int> percentages;
    bool cutting = false;
    bool killed = false;
    const QString children = QStringLiteral("/proc/%1/task/%1/children").arg(m_nginx->processId());
    connect(m_engine.get(), &OrviUpdaterEngine::downloadFile, this,
        [&](const QString &name) { cutting = name == QLatin1String("cut"); });
    connect(m_engine.get(), &OrviUpdaterEngine::downloadProgress, this, [&](int percent) {
        percentages << percent;
        if (!cutting || killed)
            return;
        // Killing the worker cuts the connection mid-body; the master starts a new one.
        QFile list(children);
        const qint64 worker
            = list.open(QIODevice::ReadOnly) ? list.readAll().trimmed().toLongLong() : 0;
        if (worker > 0)
            killed = ::kill(pid_t(worker), SIGKILL) == 0;
    });
    m_engine->beginDownload();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || !errors.isEmpty(), 60000);
    QVERIFY2(errors.isEmpty(), qPrintable(errors.value(0).value(0).toString()));
    QVERIFY(killed);

    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/chain1.zip"))), m_chain);
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/signed.zip"))), m_signed);
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/cut.zip"))), m_cut);
    QCOMPARE(*std::max_element(percentages.begin(), percentages.end()), 100);
    QCOMPARE(percentages.constLast(), 100);

    const QByteArray log = m_nginx->accessLog();
    QVERIFY2(log.contains("HEAD /signed.zip HTTP/1.1 403"), log.constData());
    QVERIFY2(log.contains("GET /signed.zip HTTP/1.1 200"), log.constData());
    QVERIFY2(log.contains("GET /chain2.zip HTTP/1.1 301"), log.constData());
    QVERIFY2(log.contains("GET /chain.zip HTTP/1.1 200"), log.constData());
    // The rest of the cut package came as a part, asked for under the file's ETag.
    QVERIFY2(log.contains("GET /cut.zip HTTP/1.1 206 \"bytes="), log.constData());
}

void TestRealServers::tinyproxyCarriesEveryRequest()
{
    const QString tinyproxy = ServerProcess::findProgram(QStringLiteral("tinyproxy"));
    if (!NginxServer::isInstalled() || tinyproxy.isEmpty())
        QSKIP("nginx or tinyproxy is not installed (scripts/install-deps.sh installs both)");
    QVERIFY2(startNginx(), m_nginx ? m_nginx->errorLog().constData() : "no test files");

    // The proxy hands every request for .orvi.test to nginx as its upstream; nothing else
    // resolves that name, so a request that bypassed the proxy would fail.
    const quint16 port = startTinyproxy(m_nginx->port());
    QVERIFY2(port != 0, "tinyproxy did not start");
    const QByteArray log = QFile::encodeName(m_work->path() + QStringLiteral("/tinyproxy.log"));
    qputenv("http_proxy", "http://127.0.0.1:" + QByteArray::number(port));
    EngineSettings settings;
    settings.unsignedAllowed = true;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    qunsetenv("http_proxy");
    const QString base = QStringLiteral("http://packages.orvi.test");
    m_engine->adoptUpdates({ entry(QStringLiteral("chain"), base + QStringLiteral("/chain1.zip")),
        entry(QStringLiteral("signed"), base + QStringLiteral("/signed.zip")) });
    QSignalSpy finished(m_engine.get(), &OrviUpdaterEngine::downloadFinished);
    QSignalSpy errors(m_engine.get(), &OrviUpdaterEngine::error);
    m_engine->beginDownload();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || !errors.isEmpty(), 60000);
    QVERIFY2(errors.isEmpty(), qPrintable(errors.value(0).value(0).toString()));
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/chain1.zip"))), m_chain);
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/signed.zip"))), m_signed);

    const QStringList requests { QStringLiteral("HEAD %1/chain1.zip"),
        QStringLiteral("HEAD %1/chain2.zip"), QStringLiteral("HEAD %1/chain.zip"),
        QStringLiteral("HEAD %1/signed.zip"), QStringLiteral("GET %1/chain1.zip"),
        QStringLiteral("GET %1/chain2.zip"), QStringLiteral("GET %1/chain.zip"),
        QStringLiteral("GET %1/signed.zip") };
    for (const QString &request : requests) {
        const QByteArray line = "): " + request.arg(base).toLatin1() + " HTTP/1.1";
        QTRY_VERIFY2_WITH_TIMEOUT(TestEnvironment::readFile(QFile::decodeName(log)).contains(line),
            line.constData(), 5000);
    }
}

quint16 TestRealServers::startTinyproxy(quint16 upstream)
{
    const quint16 port = ServerProcess::freePort();
    const QByteArray log = QFile::encodeName(m_work->path() + QStringLiteral("/tinyproxy.log"));
    const QByteArray config = "Port " + QByteArray::number(port)
        + "\n"
          "Listen 127.0.0.1\n"
          "Timeout 30\n"
          "LogFile \""
        + log
        + "\"\n"
          "LogLevel Info\n"
          "MaxClients 10\n"
          "Allow 127.0.0.1\n"
          "Upstream http 127.0.0.1:"
        + QByteArray::number(upstream) + " \".orvi.test\"\n";
    const QString configFile = m_work->path() + QStringLiteral("/tinyproxy.conf");
    if (!TestEnvironment::writeFile(configFile, config))
        return 0;
    m_tinyproxy = std::make_unique<ServerProcess>();
    if (!m_tinyproxy->start(ServerProcess::findProgram(QStringLiteral("tinyproxy")),
            { QStringLiteral("-d"), QStringLiteral("-c"), configFile }, port))
        return 0;
    return port;
}

void TestRealServers::queryOverTls_data()
{
    QTest::addColumn<QString>("route");
    // The update server as the publisher runs it: plain on loopback behind nginx's TLS.
    QTest::newRow("through nginx's TLS front") << QStringLiteral("nginx");
    // A proxy that sees only CONNECT and the encrypted bytes it carries.
    QTest::newRow("through tinyproxy's tunnel") << QStringLiteral("tinyproxy");
}

void TestRealServers::queryOverTls()
{
    QFETCH(QString, route);
    if (PackageSignature::unsignedPackagesAllowed())
        QSKIP("This build queries the update server over plain TCP (configured with "
              "ORVI_UNSIGNED_PACKAGES); both routes carry the updater's TLS");
    const QString tinyproxy = ServerProcess::findProgram(QStringLiteral("tinyproxy"));
    if (!NginxServer::isInstalled() || tinyproxy.isEmpty())
        QSKIP("nginx or tinyproxy is not installed (scripts/install-deps.sh installs both)");
    const QString app = m_work->path() + QStringLiteral("/Orvi");
    QVERIFY(ApplicationFolder::makeWithSample(app));
    QVERIFY(TestEnvironment::writeFile(app + QStringLiteral("/components"), "orvi core app 1\n"));
    EngineSettings settings;
    settings.appRoot = app;
    FakeUpdateServer fake;
    quint16 port = 0;
    if (route == QLatin1String("nginx")) {
        const QString catalogue = m_work->path() + QStringLiteral("/catalogue");
        QVERIFY(TestEnvironment::writeFile(catalogue + QStringLiteral("/core.zip"), "zip"));
        QVERIFY(TestEnvironment::writeFile(catalogue + QStringLiteral("/index.xml"),
            "<catalogue><component project=\"orvi\" name=\"core\" type=\"app\"><version>2"
            "</version><package>core.zip</package></component></catalogue>"));
        m_updateServer = std::make_unique<QProcess>();
        m_updateServer->start(QStringLiteral(ORVI_UPDATE_SERVER_BINARY),
            QStringList { QStringLiteral("--catalogue"), catalogue, QStringLiteral("--update-port"),
                QStringLiteral("0"), QStringLiteral("--base-url"),
                QStringLiteral("http://127.0.0.1:1"),
                QStringLiteral("--max-connections-per-address"), QStringLiteral("0") }
                + TestSigning::serverOptions(m_work->path()));
        QVERIFY(m_updateServer->waitForStarted());
        QByteArray output;
        while (!output.contains('\n') && m_updateServer->waitForReadyRead(10000))
            output += m_updateServer->readAllStandardOutput();
        static const QRegularExpression portLine(QStringLiteral("update port (\\d+)"));
        const quint16 backend
            = quint16(portLine.match(QString::fromLatin1(output)).captured(1).toUInt());
        QVERIFY2(backend != 0, output.constData());
        m_nginx = std::make_unique<NginxServer>();
        QVERIFY2(m_nginx->startTlsFront({ backend }), m_nginx->errorLog().constData());
        settings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), m_nginx->frontPort(0));
    } else {
        // tinyproxy passes the CONNECT for .orvi.test on to the fake server, which opens the
        // tunnel and speaks TLS inside it.
        FakeUpdateServer::Script script { 0, { FakeUpdateServer::ThreeUpdates }, 0,
            FakeUpdateServer::Ending::StayOpen };
        script.tunnel = FakeUpdateServer::Tunnel::Accept;
        fake.setScript(script);
        port = startTinyproxy(fake.port());
        QVERIFY2(port != 0, "tinyproxy did not start");
        qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(port));
        settings.updateServer = UpdateServer(QStringLiteral("updates.orvi.test"), 443);
    }

    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    const bool queried = m_engine->checkUpdates();
    qunsetenv("https_proxy");
    QVERIFY(queried);
    QVERIFY(m_engine->hasUpdates());
    QCOMPARE(QByteArray::fromStdString(m_engine->updates().first()->name()), QByteArray("core"));
    if (route == QLatin1String("tinyproxy")) {
        QCOMPARE(fake.handshakes(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(
            TestEnvironment::readFile(m_work->path() + QStringLiteral("/tinyproxy.log"))
                .contains("CONNECT updates.orvi.test:443"),
            5000);
    }
}

QTEST_GUILESS_MAIN(TestRealServers)
#include "tst_realservers.moc"
