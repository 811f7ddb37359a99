#include "orviupdaterengine.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

QString findProgram(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    if (!found.isEmpty())
        return found;
    return QStandardPaths::findExecutable(name,
            { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                    QStringLiteral("/usr/local/sbin") });
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

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
    return new UpdateEntry("orvi", name.toStdString(), "plugin", "1.0", "", "", "", "", "", "",
            link.toStdString(), false, 0);
}

/// A server program started for one test and stopped on every way out.
class ServerProcess
{
public:
    ~ServerProcess() { stop(); }

    bool start(const QString &program, const QStringList &arguments, quint16 port)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(program, arguments);
        if (!m_process.waitForStarted(5000))
            return false;
        for (int attempt = 0; attempt < 50 && m_process.state() == QProcess::Running; ++attempt) {
            if (accepts(port))
                return true;
            m_process.waitForFinished(100);
        }
        return false;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        // Both servers stop their workers and exit on SIGTERM.
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    qint64 processId() const { return m_process.processId(); }

private:
    QProcess m_process;
};

} // namespace

class TestRealServers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nginxRedirectsRefusesHeadAndCuts();
    void tinyproxyCarriesEveryRequest();

private:
    bool startNginx();
    QString fileOf(const QString &path) const
    {
        return m_engine->downloadFolder() + QLatin1Char('/') + path;
    }

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<ServerProcess> m_nginx;
    std::unique_ptr<ServerProcess> m_tinyproxy;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    quint16 m_nginxPort = 0;
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
    m_engine.reset();
    m_tinyproxy.reset();
    m_nginx.reset();
    m_work.reset();
    m_environment.reset();
}

bool TestRealServers::startNginx()
{
    const QString nginx = findProgram(QStringLiteral("nginx"));
    if (nginx.isEmpty())
        return false;
    const QString work = m_work->path();
    m_chain = randomBytes(300 * 1024, 1);
    m_signed = randomBytes(200 * 1024, 2);
    m_cut = randomBytes(768 * 1024, 3);
    if (!TestEnvironment::writeFile(work + QStringLiteral("/www/chain.zip"), m_chain)
            || !TestEnvironment::writeFile(work + QStringLiteral("/www/signed.zip"), m_signed)
            || !TestEnvironment::writeFile(work + QStringLiteral("/www/cut.zip"), m_cut))
        return false;
    m_nginxPort = freePort();
    const QByteArray w = QFile::encodeName(work);
    const QByteArray config = "daemon off;\n"
            "worker_processes 1;\n"
            // Ignored unless started as root; then the worker may read the test's files.
            "user root;\n"
            "pid " + w + "/nginx.pid;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "    log_format requests '$request $status \"$http_range\" \"$http_if_range\"';\n"
            "    access_log " + w + "/access.log requests;\n"
            "    client_body_temp_path " + w + "/client_body;\n"
            "    proxy_temp_path " + w + "/proxy;\n"
            "    fastcgi_temp_path " + w + "/fastcgi;\n"
            "    uwsgi_temp_path " + w + "/uwsgi;\n"
            "    scgi_temp_path " + w + "/scgi;\n"
            "    types { application/zip zip; }\n"
            "    server {\n"
            "        listen 127.0.0.1:" + QByteArray::number(m_nginxPort) + ";\n"
            "        root " + w + "/www;\n"
            "        absolute_redirect off;\n"
            "        location = /chain1.zip { return 302 /chain2.zip; }\n"
            "        location = /chain2.zip { return 301 /chain.zip; }\n"
            "        location = /signed.zip { if ($request_method = HEAD) { return 403; } }\n"
            "        location = /cut.zip { limit_rate 256k; }\n"
            "    }\n"
            "}\n";
    if (!TestEnvironment::writeFile(work + QStringLiteral("/nginx.conf"), config))
        return false;
    m_nginx = std::make_unique<ServerProcess>();
    return m_nginx->start(nginx,
            { QStringLiteral("-e"), work + QStringLiteral("/error.log"), QStringLiteral("-p"),
                    work, QStringLiteral("-c"), work + QStringLiteral("/nginx.conf") },
            m_nginxPort);
}

void TestRealServers::nginxRedirectsRefusesHeadAndCuts()
{
    if (findProgram(QStringLiteral("nginx")).isEmpty())
        QSKIP("nginx is not installed (scripts/install-deps.sh installs it)");
    QVERIFY2(startNginx(), "nginx did not start; see error.log in its work folder");

    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(m_nginxPort);
    m_engine = std::make_unique<OrviUpdaterEngine>();
    // The transfer is under test here; the signature check has tests of its own.
    m_engine->setUnsignedPackagesAllowed(true);
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
        const qint64 worker = list.open(QIODevice::ReadOnly) ? list.readAll().trimmed().toLongLong() : 0;
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

    const QByteArray log = TestEnvironment::readFile(m_work->path() + QStringLiteral("/access.log"));
    QVERIFY2(log.contains("HEAD /signed.zip HTTP/1.1 403"), log.constData());
    QVERIFY2(log.contains("GET /signed.zip HTTP/1.1 200"), log.constData());
    QVERIFY2(log.contains("GET /chain2.zip HTTP/1.1 301"), log.constData());
    QVERIFY2(log.contains("GET /chain.zip HTTP/1.1 200"), log.constData());
    // The rest of the cut package came as a part, asked for under the file's ETag.
    QVERIFY2(log.contains("GET /cut.zip HTTP/1.1 206 \"bytes="), log.constData());
}

void TestRealServers::tinyproxyCarriesEveryRequest()
{
    const QString tinyproxy = findProgram(QStringLiteral("tinyproxy"));
    if (findProgram(QStringLiteral("nginx")).isEmpty() || tinyproxy.isEmpty())
        QSKIP("nginx or tinyproxy is not installed (scripts/install-deps.sh installs both)");
    QVERIFY2(startNginx(), "nginx did not start; see error.log in its work folder");

    // The proxy hands every request for .orvi.test to nginx as its upstream; nothing else
    // resolves that name, so a request that bypassed the proxy would fail.
    const quint16 port = freePort();
    const QByteArray log = QFile::encodeName(m_work->path() + QStringLiteral("/tinyproxy.log"));
    const QByteArray config = "Port " + QByteArray::number(port) + "\n"
            "Listen 127.0.0.1\n"
            "Timeout 30\n"
            "LogFile \"" + log + "\"\n"
            "LogLevel Info\n"
            "MaxClients 10\n"
            "Allow 127.0.0.1\n"
            "Upstream http 127.0.0.1:" + QByteArray::number(m_nginxPort) + " \".orvi.test\"\n";
    const QString configFile = m_work->path() + QStringLiteral("/tinyproxy.conf");
    QVERIFY(TestEnvironment::writeFile(configFile, config));
    m_tinyproxy = std::make_unique<ServerProcess>();
    QVERIFY2(m_tinyproxy->start(tinyproxy, { QStringLiteral("-d"), QStringLiteral("-c"), configFile },
                     port),
            "tinyproxy did not start");

    qputenv("http_proxy", "http://127.0.0.1:" + QByteArray::number(port));
    m_engine = std::make_unique<OrviUpdaterEngine>();
    m_engine->setUnsignedPackagesAllowed(true);
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

QTEST_GUILESS_MAIN(TestRealServers)
#include "tst_realservers.moc"
