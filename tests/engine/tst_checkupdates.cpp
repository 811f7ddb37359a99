#include "boxrecorder.h"
#include "entrybuilder.h"
#include "fakeupdateserver.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

#include <vector>

namespace {

// QCoreApplication::arguments() reads the very vector the application object was built on,
// so the tests rewrite that vector to hand each query its command line.
int applicationArgc = 1;
char *applicationArgv[8];
std::vector<QByteArray> argumentStorage;

void setArguments(const QStringList &arguments)
{
    argumentStorage.clear();
    argumentStorage.reserve(arguments.size());
    for (const QString &argument : arguments)
        argumentStorage.push_back(QFile::encodeName(argument));
    applicationArgc = 1 + int(arguments.size());
    for (size_t i = 0; i < argumentStorage.size(); ++i)
        applicationArgv[i + 1] = argumentStorage[i].data();
    applicationArgv[applicationArgc] = nullptr;
}

const QByteArray NoUpdates = "<?xml version=\"1.0\"?><reply><request project=\"orvi\" "
                             "name=\"core\" type=\"app\"><latest/></request></reply>";

const QByteArray ThreeUpdates
    = "<reply>"
      "<request name=\"core\" type=\"app\"><version>7.1</version></request>"
      "<request name=\"gg\" type=\"plugin\"><noSuchUpdate/></request>"
      "<request name=\"gg\" type=\"plugin\"/>"
      "<request name=\"skin\" type=\"data\"/>"
      "</reply>";

// Components as the sample main application reads them, and the inventory it prints for them.
const QByteArray Components = "# project name type version\n"
                              "orvi messenger app 7.0.1\n"
                              "\n"
                              "orvi gg plugin 1.2\n"
                              "orvi caf\xc3\xa9&skin data 3\n";
const QByteArray SampleInventory
    = "\n"
      "<component project=\"orvi\" name=\"messenger\" type=\"app\" version=\"7.0.1\"/>\n"
      "<component project=\"orvi\" name=\"gg\" type=\"plugin\" version=\"1.2\"/>\n"
      "<component project=\"orvi\" name=\"caf\xc3\xa9&amp;skin\" type=\"data\" version=\"3\"/>\n";
// The sample prints UTF-8; the query takes each byte as a Latin-1 character.
const QByteArray SampleRequest = "<s>" + QString::fromLatin1(SampleInventory).toUtf8() + "</s>";

QStringList names(const QVector<UpdateEntry *> &entries)
{
    QStringList result;
    for (const UpdateEntry *entry : entries)
        result << QString::fromUtf8(QByteArray::fromStdString(entry->name()));
    return result;
}

UpdateEntry *staleEntry()
{
    return EntryBuilder().name("stale").version("1").link("").make();
}

} // namespace

Q_DECLARE_METATYPE(FakeUpdateServer::Script)

class tst_CheckUpdates : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rootArgumentMissing_data();
    void rootArgumentMissing();
    void requestFromMainApp_data();
    void requestFromMainApp();
    void folderWithSpaces();
    void replyArrivals_data();
    void replyArrivals();
    void replyNeverCompletes_data();
    void replyNeverCompletes();
    void exchangeIsBounded_data();
    void exchangeIsBounded();
    void unreachableServer();
    void queryTunnelsThroughProxy_data();
    void queryTunnelsThroughProxy();
    void flood_data();
    void flood();
    void binaryQueriesServer();

private:
    QString mainAppFolder(const QString &name = QStringLiteral("Orvi"));
    bool installSample(const QString &folder);
    bool installScript(const QString &path, const QByteArray &body);
    void expectBox(const QString &text);

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<FakeUpdateServer> m_server;
    BoxRecorder m_recorder;
    const QList<MessageBoxHandler::Box> &m_boxes = m_recorder.boxes();
};

void tst_CheckUpdates::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_server = std::make_unique<FakeUpdateServer>();
    QVERIFY(m_server->port() != 0);
    m_recorder.clear();
}

void tst_CheckUpdates::cleanup()
{
    setArguments({});
    m_server.reset();
    m_environment.reset();
}

QString tst_CheckUpdates::mainAppFolder(const QString &name)
{
    const QString folder = m_environment->root() + QLatin1Char('/') + name;
    QDir().mkpath(folder);
    return folder;
}

bool tst_CheckUpdates::installSample(const QString &folder)
{
    const QString path = folder + QStringLiteral("/orvi7.exe");
    QFile::remove(path);
    return QFile::copy(QStringLiteral(ORVI_SAMPLE_APP_BINARY), path)
        && TestEnvironment::writeFile(folder + QStringLiteral("/components"), Components);
}

bool tst_CheckUpdates::installScript(const QString &path, const QByteArray &body)
{
    return TestEnvironment::writeFile(path, "#!/bin/sh\n" + body)
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void tst_CheckUpdates::expectBox(const QString &text)
{
    QCOMPARE(m_boxes.size(), 1);
    const MessageBoxHandler::Box &box = m_boxes.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Check updates"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.defaultButton, QMessageBox::Ok);
}

void tst_CheckUpdates::rootArgumentMissing_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no -root") << QStringList { QStringLiteral("-u") };
    QTest::newRow("-root last") << QStringList { QStringLiteral("-u"), QStringLiteral("-root") };
}

void tst_CheckUpdates::rootArgumentMissing()
{
    QFETCH(QStringList, arguments);
    setArguments(arguments);
    QCOMPARE(QCoreApplication::arguments().mid(1), arguments);
    m_server->answer(ThreeUpdates);

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()));
    engine.adoptUpdates({ staleEntry() });

    QVERIFY(!engine.checkUpdates());
    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(names(engine.updates()), QStringList { QStringLiteral("stale") });
    QCOMPARE(m_server->connections(), 0);
}

void tst_CheckUpdates::requestFromMainApp_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: the sample main application
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("sample main application") << QByteArray() << SampleRequest;
    QTest::newRow("text around the markers")
        << QByteArray("printf 'xx<s>ABC</s>yy'") << QByteArray("<s>ABC</s>");
    QTest::newRow("standard error is part of the output")
        << QByteArray("printf '<s>A'; printf 'B' >&2; printf 'C</s>'") << QByteArray("<s>ABC</s>");
    QTest::newRow("byte E9") << QByteArray("printf '<s>\\351</s>'")
                             << QByteArray("<s>\xc3\xa9</s>");
    QTest::newRow("no closing marker") << QByteArray("printf '<s>ABC'") << QByteArray();
    QTest::newRow("program missing") << QByteArray("-") << QByteArray();
    QTest::newRow("hanging program is cut off")
        << QByteArray("printf '<s>ABC</s>'; exec sleep 60") << QByteArray();
}

void tst_CheckUpdates::requestFromMainApp()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, request);

    const QString folder = mainAppFolder();
    if (script.isEmpty())
        QVERIFY(installSample(folder));
    else if (script != "-")
        QVERIFY(installScript(folder + QStringLiteral("/orvi7.exe"), script));
    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), folder });
    m_server->answer(ThreeUpdates);

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()));
    engine.setMainAppTimeout(1000);
    engine.adoptUpdates({ staleEntry() });

    QVERIFY(engine.checkUpdates());
    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(names(engine.updates()),
        QStringList({ QStringLiteral("core"), QStringLiteral("gg"), QStringLiteral("skin") }));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->received(), request, 10000);
    QCOMPARE(m_server->connections(), 1);
}

void tst_CheckUpdates::folderWithSpaces()
{
    const QString folder = mainAppFolder(QStringLiteral("Orvi Messenger"));
    QVERIFY(installScript(
        folder + QStringLiteral("/orvi7.exe"), "printf '<s>%s:%s</s>' \"$#\" \"$*\""));
    // Split at the blank, the command line would start this one instead.
    QVERIFY(
        installScript(m_environment->root() + QStringLiteral("/Orvi"), "printf '<s>decoy</s>'"));
    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), folder });
    m_server->answer(NoUpdates);

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()));
    QVERIFY(engine.checkUpdates());
    QVERIFY(!engine.hasUpdates());
    QTRY_COMPARE_WITH_TIMEOUT(m_server->received(), QByteArray("<s>1:-updatequery</s>"), 10000);
}

void tst_CheckUpdates::replyArrivals_data()
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

void tst_CheckUpdates::replyArrivals()
{
    QFETCH(FakeUpdateServer::Script, script);
    QFETCH(QStringList, names);

    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), mainAppFolder() });
    m_server->setScript(script);

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()));
    engine.setNetworkTimeout(20000);
    QVERIFY(engine.checkUpdates());
    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(::names(engine.updates()), names);
}

void tst_CheckUpdates::replyNeverCompletes_data()
{
    QTest::addColumn<FakeUpdateServer::Script>("script");

    using Script = FakeUpdateServer::Script;
    QTest::newRow("silent") << Script();
    QTest::newRow("part of a reply, then silent")
        << Script { 0, { ThreeUpdates.left(30) }, 0, FakeUpdateServer::Ending::StayOpen };
    QTest::newRow("closed at once") << Script { 0, {}, 0, FakeUpdateServer::Ending::Close };
    QTest::newRow("part of a reply, then closed")
        << Script { 0, { ThreeUpdates.left(30) }, 0, FakeUpdateServer::Ending::Close };
}

void tst_CheckUpdates::replyNeverCompletes()
{
    QFETCH(FakeUpdateServer::Script, script);

    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), mainAppFolder() });
    m_server->setScript(script);

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()));
    engine.setNetworkTimeout(500);
    engine.adoptUpdates({ staleEntry() });
    QVERIFY(!engine.checkUpdates());
    expectBox(QStringLiteral("An error occured while comunicating update server. Check your "
                             "internet connection."));
    QVERIFY(!engine.hasUpdates());
}

void tst_CheckUpdates::exchangeIsBounded_data()
{
    QTest::addColumn<FakeUpdateServer::Script>("script");
    QTest::addColumn<int>("queryTimeout");

    using Script = FakeUpdateServer::Script;
    const auto open = FakeUpdateServer::Ending::StayOpen;
    QList<QByteArray> bytes;
    for (char byte : ThreeUpdates.left(40))
        bytes << QByteArray(1, byte);
    QTest::newRow("one byte at a time") << Script { 0, bytes, 200, open } << 1500;
    QTest::newRow("text before the root") << Script { 0, { "junk<reply>" }, 0, open } << 20000;
    QTest::newRow("mismatched end tag") << Script { 0, { "<reply></request>" }, 0, open } << 20000;
    QTest::newRow("second root") << Script { 0, { "<reply/><reply>" }, 0, open } << 20000;
    QTest::newRow("nested too deep")
        << Script { 0, { QByteArray("<a>").repeated(300) }, 0, open } << 20000;
}

void tst_CheckUpdates::exchangeIsBounded()
{
    QFETCH(FakeUpdateServer::Script, script);
    QFETCH(int, queryTimeout);

    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), mainAppFolder() });
    m_server->setScript(script);

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()));
    engine.setNetworkTimeout(20000);
    engine.setQueryTimeout(queryTimeout);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!engine.checkUpdates());
    // Neither the wait for a further piece nor the overall limit of these rows ended it.
    QVERIFY2(elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
    expectBox(QStringLiteral("An error occured while comunicating update server. Check your "
                             "internet connection."));
}

void tst_CheckUpdates::unreachableServer()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), mainAppFolder() });

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), closedPort));
    engine.setNetworkTimeout(5000);
    engine.adoptUpdates({ staleEntry() });
    QVERIFY(!engine.checkUpdates());
    expectBox(QStringLiteral("Couldn't connect to update server. Check your internet connection."));
    QVERIFY(!engine.hasUpdates());
}

void tst_CheckUpdates::queryTunnelsThroughProxy_data()
{
    QTest::addColumn<int>("tunnel"); // FakeUpdateServer::Tunnel; -1: nothing listens
    QTest::newRow("tunnel accepted") << int(FakeUpdateServer::Tunnel::Accept);
    QTest::newRow("tunnel refused") << int(FakeUpdateServer::Tunnel::Refuse);
    QTest::newRow("proxy not listening") << -1;
}

void tst_CheckUpdates::queryTunnelsThroughProxy()
{
    QFETCH(int, tunnel);
    quint16 port = m_server->port();
    if (tunnel < 0) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    } else {
        m_server->setScript({ 0, { NoUpdates }, 0, FakeUpdateServer::Ending::StayOpen, 0, {},
            FakeUpdateServer::Tunnel(tunnel) });
    }
    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), mainAppFolder() });
    qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(port));
    // Only the proxy knows this name: a query that went direct would fail to resolve it.
    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("updates.orvi.test"), 443));
    engine.setNetworkTimeout(5000);
    const bool succeeded = engine.checkUpdates();
    qunsetenv("https_proxy");

    if (tunnel == int(FakeUpdateServer::Tunnel::Accept)) {
        QVERIFY(succeeded);
        QVERIFY(m_boxes.isEmpty());
        QCOMPARE(m_server->tunnelRequests(),
            QList<QByteArray> { "CONNECT updates.orvi.test:443 HTTP/1.1" });
        return;
    }
    QVERIFY(!succeeded);
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY2(m_boxes.first().text.startsWith(
                 QStringLiteral("The proxy server 127.0.0.1:%1 did not connect").arg(port)),
        qPrintable(m_boxes.first().text));
}

void tst_CheckUpdates::flood_data()
{
    QTest::addColumn<QByteArray>("unit");

    QTest::newRow("text") << QByteArray("x");
    QTest::newRow("ever deeper elements") << QByteArray("<a>");
    QTest::newRow("garbage") << QByteArray("<<");
}

void tst_CheckUpdates::flood()
{
    QFETCH(QByteArray, unit);
    constexpr qint64 limit = 256 * 1024 * 1024;
    setArguments({ QStringLiteral("-u"), QStringLiteral("-root"), mainAppFolder() });
    m_server->flood(limit, unit);

    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), m_server->port()));
    QVERIFY(!engine.checkUpdates());
    expectBox(QStringLiteral("An error occured while comunicating update server. Check your "
                             "internet connection."));
    // The query gave up by itself, long before the server ran dry.
    QVERIFY2(m_server->flooded() < limit / 4, qPrintable(QString::number(m_server->flooded())));
}

void tst_CheckUpdates::binaryQueriesServer()
{
    const QString folder = mainAppFolder(QStringLiteral("Orvi Messenger"));
    QVERIFY(installSample(folder));
    m_server->answer(NoUpdates);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(
        QStringLiteral("ORVI_UPDATE_SERVER"), QStringLiteral("127.0.0.1:%1").arg(m_server->port()));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_environment->cacheHome());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.setProcessChannelMode(QProcess::ForwardedChannels);
    updater.start(QStringLiteral(ORVI_UPDATER_BINARY),
        { QStringLiteral("-u"), QStringLiteral("-q"), QStringLiteral("-root"), folder });
    QVERIFY(updater.waitForStarted());
    // A box or a window would keep the updater running.
    QVERIFY(updater.waitForFinished(60000));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->received(), SampleRequest, 10000);
    QCOMPARE(m_server->connections(), 1);
}

int main(int argc, char *argv[])
{
    applicationArgv[0] = argv[0];
    QApplication application(applicationArgc, applicationArgv);
    tst_CheckUpdates test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_checkupdates.moc"
