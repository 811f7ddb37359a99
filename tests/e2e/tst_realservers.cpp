#include "entrybuilder.h"
#include "nginxserver.h"
#include "orviupdaterengine.h"
#include "serverprocess.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QDir>
#include <QFile>
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

private:
    bool startNginx();
    QString fileOf(const QString &path) const
    {
        return m_engine->downloadFolder() + QLatin1Char('/') + path;
    }

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<NginxServer> m_nginx;
    std::unique_ptr<ServerProcess> m_tinyproxy;
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
        + QByteArray::number(m_nginx->port()) + " \".orvi.test\"\n";
    const QString configFile = m_work->path() + QStringLiteral("/tinyproxy.conf");
    QVERIFY(TestEnvironment::writeFile(configFile, config));
    m_tinyproxy = std::make_unique<ServerProcess>();
    QVERIFY2(m_tinyproxy->start(
                 tinyproxy, { QStringLiteral("-d"), QStringLiteral("-c"), configFile }, port),
        "tinyproxy did not start");

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

QTEST_GUILESS_MAIN(TestRealServers)
#include "tst_realservers.moc"
