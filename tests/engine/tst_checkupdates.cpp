#include "applicationfolder.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "fakeupdateserver.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "packagesignature.h"
#include "serverkeydelegation.h"
#include "startup.h"
#include "testenvironment.h"
#include "testsigning.h"
#include "updateentry.h"

#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

Q_DECLARE_METATYPE(FakeUpdateServer::Script)

namespace {

const QByteArray &NoUpdates = FakeUpdateServer::NoUpdates;
const QByteArray &ThreeUpdates = FakeUpdateServer::ThreeUpdates;

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

const QString ExchangeFailed = QStringLiteral(
    "An error occured while comunicating update server. Check your internet connection.");

// The request with its nonce, which must be fresh, and the ask for answers bound to it taken
// out of the opening marker.
QByteArray withoutNonce(const QByteArray &request)
{
    static const QRegularExpression nonce(
        QStringLiteral("^<s nonce=\"[0-9a-f]{64}\"><answerForm name=\"orvi-update-answer-2\"/>"));
    QString text = QString::fromLatin1(request);
    return text.replace(nonce, QStringLiteral("<s>")).toLatin1();
}

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

/*
 * The engine's update query: the main application's inventory goes to the update server, the
 * reply fills the catalogue, and a failed exchange is shown in a box.
 */
class tst_CheckUpdates : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void withoutAppRootNothingIsAsked();
    void requestFromMainApp_data();
    void requestFromMainApp();
    void folderWithSpaces();
    void failedExchangeIsShown_data();
    void failedExchangeIsShown();
    void binaryQueriesServer();
    void answerMustBeTrusted_data();
    void answerMustBeTrusted();
    void certificateMustVerify_data();
    void certificateMustVerify();
    void answerBoundToQuestion_data();
    void answerBoundToQuestion();
    void tamperedExchangeIsRefused_data();
    void tamperedExchangeIsRefused();

private:
    QString mainAppFolder(const QString &name = QStringLiteral("Orvi"));
    bool installSample(const QString &folder);
    /// Settings for a query of the main application in appRoot and of the test's server.
    EngineSettings settings(const QString &appRoot) const;

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
    return ApplicationFolder::makeWithSample(folder)
        && TestEnvironment::writeFile(folder + QStringLiteral("/components"), Components);
}

EngineSettings tst_CheckUpdates::settings(const QString &appRoot) const
{
    EngineSettings settings;
    settings.appRoot = appRoot;
    settings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), m_server->port());
    return settings;
}

void tst_CheckUpdates::withoutAppRootNothingIsAsked()
{
    m_server->answer(ThreeUpdates);
    EngineSettings noRoot = settings(QString());
    noRoot.appRoot.reset();

    OrviUpdaterEngine engine(noRoot);
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
        << QByteArray("out xx<s>ABC</s>yy") << QByteArray("<s>ABC</s>");
    QTest::newRow("standard error is part of the output")
        << QByteArray("out <s>A\nerr B\nout C</s>") << QByteArray("<s>ABC</s>");
    QTest::newRow("byte E9") << QByteArray("out <s>\xe9</s>") << QByteArray("<s>\xc3\xa9</s>");
    QTest::newRow("no closing marker") << QByteArray("out <s>ABC") << QByteArray();
    QTest::newRow("program missing") << QByteArray("-") << QByteArray();
    QTest::newRow("hanging program is cut off")
        << QByteArray("out <s>ABC</s>\nhang") << QByteArray();
}

void tst_CheckUpdates::requestFromMainApp()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, request);

    const QString folder = mainAppFolder();
    if (script.isEmpty())
        QVERIFY(installSample(folder));
    else if (script != "-")
        QVERIFY(ApplicationFolder::makeScripted(ApplicationFolder::mainProgram(folder), script));
    m_server->answer(ThreeUpdates);

    EngineSettings query = settings(folder);
    query.mainAppTimeout = 1000;
    query.networkTimeout = 1000;
    OrviUpdaterEngine engine(query);
    engine.adoptUpdates({ staleEntry() });

    // Without a request there is no nonce to sign an answer for: the server waits, as the
    // update server does, and the query fails.
    QCOMPARE(engine.checkUpdates(), !request.isEmpty());
    QCOMPARE(m_boxes.size(), request.isEmpty() ? 1 : 0);
    QCOMPARE(names(engine.updates()),
        request.isEmpty() ? QStringList()
                          : QStringList({ QStringLiteral("core"), QStringLiteral("gg"),
                              QStringLiteral("skin") }));
    QTRY_COMPARE_WITH_TIMEOUT(withoutNonce(m_server->received()), request, 10000);
    QCOMPARE(m_server->connections(), 1);
}

void tst_CheckUpdates::folderWithSpaces()
{
    const QString folder = mainAppFolder(QStringLiteral("Orvi Messenger"));
    QVERIFY(ApplicationFolder::makeScripted(
        ApplicationFolder::mainProgram(folder), "out <s>\nargs\nout </s>"));
    // Split at the blank, the command line would start this one instead (Windows adds ".exe").
    for (const QString &decoy : { QStringLiteral("/Orvi"), QStringLiteral("/Orvi.exe") })
        QVERIFY(ApplicationFolder::makeScripted(m_environment->root() + decoy, "out <s>decoy</s>"));
    m_server->answer(NoUpdates);

    OrviUpdaterEngine engine(settings(folder));
    QVERIFY(engine.checkUpdates());
    QVERIFY(!engine.hasUpdates());
    QTRY_COMPARE_WITH_TIMEOUT(
        withoutNonce(m_server->received()), QByteArray("<s>1:-updatequery</s>"), 10000);
}

void tst_CheckUpdates::failedExchangeIsShown_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("text"); // %1 stands for the port nothing listens on

    QTest::newRow("no connection")
        << QStringLiteral("closed")
        << QStringLiteral("Couldn't connect to update server. Check your internet connection.");
    QTest::newRow("proxy failed")
        << QStringLiteral("proxy")
        << QStringLiteral("The proxy server 127.0.0.1:%1 did not connect the updater to the "
                          "update server: ");
    QTest::newRow("reply never completes")
        << QStringLiteral("silent")
        << QStringLiteral("An error occured while comunicating update server. Check your "
                          "internet connection.");
}

void tst_CheckUpdates::failedExchangeIsShown()
{
    QFETCH(QString, failure);
    QFETCH(QString, text);
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    EngineSettings query = settings(mainAppFolder());
    query.networkTimeout = 500;
    if (failure == QLatin1String("closed")) {
        query.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), closedPort);
    } else if (failure == QLatin1String("proxy")) {
        query.updateServer = UpdateServer(QStringLiteral("updates.orvi.test"), 443);
        qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(closedPort));
    } else {
        m_server->neverAnswer();
    }

    OrviUpdaterEngine engine(query);
    engine.adoptUpdates({ staleEntry() });
    const bool succeeded = engine.checkUpdates();
    qunsetenv("https_proxy");

    QVERIFY(!succeeded);
    QCOMPARE(m_boxes.size(), 1);
    const MessageBoxHandler::Box &box = m_boxes.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Check updates"));
    QVERIFY2(box.text.startsWith(text.arg(closedPort)), qPrintable(box.text));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.defaultButton, QMessageBox::Ok);
    // The catalogue was emptied before the server was asked.
    QVERIFY(!engine.hasUpdates());
}

void tst_CheckUpdates::binaryQueriesServer()
{
    if (!ORVI_UPDATER_PINS_TEST_CA)
        QSKIP("The updater program trusts the test server only when built with "
              "-DORVI_UPDATE_SERVER_CA=tests/keys/tls/ca.pem, as the test command builds it");
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
    QTRY_COMPARE_WITH_TIMEOUT(withoutNonce(m_server->received()), SampleRequest, 10000);
    QCOMPARE(m_server->connections(), 1);
}

void tst_CheckUpdates::answerMustBeTrusted_data()
{
    QTest::addColumn<int>("signing"); // FakeUpdateServer::Signing
    QTest::addColumn<QStringList>("keys"); // the key that signs, the one that delegates "server"
    QTest::addColumn<int>("expiresIn"); // hours from now
    QTest::addColumn<QByteArray>("comment"); // the delegation's own when empty
    QTest::addColumn<int>("check"); // AnswerSignature::Result

    using S = FakeUpdateServer::Signing;
    using R = AnswerSignature::Result;
    const auto row = [](const char *name, S signing, const char *keys, int hours, R check,
                         const QByteArray &comment = QByteArray()) {
        QTest::newRow(name) << int(signing) << QString::fromLatin1(keys).split(QLatin1Char(' '))
                            << hours << comment << int(check);
    };
    row("signed", S::ForRequest, "server test", 24, R::Verified);
    row("expired within the clock's allowance", S::ForRequest, "server test", -23, R::Verified);
    row("altered by a byte", S::Altered, "server test", 24, R::Forged);
    row("replayed from an earlier request", S::ForAnotherRequest, "server test", 24, R::Forged);
    row("without a signature", S::Unsigned, "server test", 24, R::Unsigned);
    row("server key delegated by an unknown key", S::ForRequest, "server other", 24,
        R::NotDelegated);
    row("delegation expired", S::ForRequest, "server test", -25, R::DelegationExpired);
    // There is no revocation: a delegation for ever would make a stolen server key good for ever.
    row("delegation ends past the bound", S::ForRequest, "server test",
        int(ServerKeyDelegation::MaximumLifetimeDays + 2) * 24, R::DelegationTooLong);
    row("delegation ends just within the bound", S::ForRequest, "server test",
        int(ServerKeyDelegation::MaximumLifetimeDays) * 24 - 1, R::Verified);
    row("package signature as the delegation", S::ForRequest, "server test", 24, R::NotADelegation,
        TestSigning::comment("core", "1", "core.zip"));
}

void tst_CheckUpdates::answerMustBeTrusted()
{
    QFETCH(int, signing);
    QFETCH(QStringList, keys);
    QFETCH(int, expiresIn);
    QFETCH(QByteArray, comment);
    QFETCH(int, check);
    if (check == int(AnswerSignature::Result::Unsigned)
        && PackageSignature::unsignedPackagesAllowed())
        QSKIP("This build takes unsigned answers (configured with ORVI_UNSIGNED_PACKAGES)");
    const QString folder = mainAppFolder();
    QVERIFY(installSample(folder));
    QVERIFY(m_server->setSigner(TestSigning::keyFile(keys.at(0), ".key"),
        TestSigning::delegation(QDateTime::currentDateTimeUtc().addSecs(expiresIn * 3600),
            keys.at(1), QStringLiteral("server"), comment)));
    FakeUpdateServer::Script script { 0, { NoUpdates }, 0, FakeUpdateServer::Ending::StayOpen };
    script.signing = FakeUpdateServer::Signing(signing);
    m_server->setScript(script);
    const bool taken = check == int(AnswerSignature::Result::Verified);
    const QByteArray warning = QByteArray("The update server's answer was refused: ")
        + AnswerSignature::describe(AnswerSignature::Result(check)) + '.';
    if (!taken)
        QTest::ignoreMessage(QtWarningMsg, warning.constData());

    const int code = Startup::updateRun(false, Startup::Query(), settings(folder));
    QCOMPARE(code, taken ? 0 : Startup::exitChannelRefused);
    // Never "nothing new" for an answer that cannot be trusted: the exchange failed.
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(
        m_boxes.first().text, taken ? QStringLiteral("No updates available.") : ExchangeFailed);
}

void tst_CheckUpdates::certificateMustVerify_data()
{
    QTest::addColumn<QString>("certificate"); // the server's, of tests/keys/tls
    QTest::addColumn<QString>("text"); // the box's; %1 stands for the server

    QTest::newRow("from the test authority")
        << QStringLiteral("server") << QStringLiteral("No updates available.");
    QTest::newRow("from another authority")
        << QStringLiteral("otherca-server")
        << QStringLiteral("The update server %1 presented a certificate from an authority the "
                          "updater does not trust. The updater did not check for updates over "
                          "this connection; a network that intercepts secure connections may be "
                          "the cause.");
    QTest::newRow("expired") << QStringLiteral("expired")
                             << QStringLiteral("The certificate of the update server %1 has "
                                               "expired or is not valid yet. The updater did not "
                                               "check for updates over this connection. Check "
                                               "the date and time of this computer.");
    QTest::newRow("for another name")
        << QStringLiteral("othername")
        << QStringLiteral("The update server %1 presented a certificate made for another server. "
                          "The updater did not check for updates over this connection; a network "
                          "that redirects secure connections may be the cause.");
}

void tst_CheckUpdates::certificateMustVerify()
{
    QFETCH(QString, certificate);
    QFETCH(QString, text);
    const bool taken = certificate == QLatin1String("server");
    if (!taken && PackageSignature::unsignedPackagesAllowed())
        QSKIP("This build queries the update server over plain TCP, without a certificate "
              "(configured with ORVI_UNSIGNED_PACKAGES)");
    const QString folder = mainAppFolder();
    QVERIFY(installSample(folder));
    m_server->setCertificate(certificate);
    m_server->answer(NoUpdates);
    if (!taken)
        QTest::ignoreMessage(QtWarningMsg,
            QRegularExpression(QStringLiteral("^The update server's certificate was refused: ")));

    const int code = Startup::updateRun(false, Startup::Query(), settings(folder));
    QCOMPARE(code, taken ? 0 : Startup::exitChannelRefused);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().text, taken ? text : text.arg(QStringLiteral("127.0.0.1")));
    QCOMPARE(m_boxes.first().icon, taken ? QMessageBox::Information : QMessageBox::Critical);
    // The inventory went nowhere but to a server that proved itself.
    QCOMPARE(m_server->received().isEmpty(), !taken);
}

void tst_CheckUpdates::answerBoundToQuestion_data()
{
    QTest::addColumn<int>("signing"); // FakeUpdateServer::Signing
    QTest::addColumn<QByteArray>("components"); // the sample main application's
    QTest::addColumn<QByteArray>("leaveOut"); // a component the answer does not answer
    QTest::addColumn<QString>("refusal"); // empty: taken

    using S = FakeUpdateServer::Signing;
    const QByteArray longName(ComponentAnswers::MaximumEchoedText + 1, 'n');
    const QString forged
        = QString::fromLatin1(AnswerSignature::describe(AnswerSignature::Result::Forged));
    QTest::newRow("signed over this request")
        << int(S::ForRequest) << Components << QByteArray() << QString();
    QTest::newRow("relayed with another inventory")
        << int(S::ForAnotherInventory) << Components << QByteArray() << forged;
    QTest::newRow("signed for the nonce alone, as older servers sign")
        << int(S::NonceOnly) << Components << QByteArray() << forged;
    QTest::newRow("one component left out")
        << int(S::ForRequest) << Components << QByteArray("gg")
        << QStringLiteral("it answers 2 of 3 components, not orvi/gg/plugin");
    QTest::newRow("an unknown component with an over-long name left out, as the server does")
        << int(S::ForRequest) << QByteArray(Components + "orvi " + longName + " data 1\n")
        << longName << QString();
}

void tst_CheckUpdates::answerBoundToQuestion()
{
    QFETCH(int, signing);
    QFETCH(QByteArray, components);
    QFETCH(QByteArray, leaveOut);
    QFETCH(QString, refusal);
    const QString folder = mainAppFolder();
    QVERIFY(ApplicationFolder::makeWithSample(folder)
        && TestEnvironment::writeFile(folder + QStringLiteral("/components"), components));
    FakeUpdateServer::Script script { 0, { NoUpdates }, 0, FakeUpdateServer::Ending::StayOpen };
    script.signing = FakeUpdateServer::Signing(signing);
    script.leaveOut = leaveOut;
    m_server->setScript(script);
    if (!refusal.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
            qPrintable(QStringLiteral("The update server's answer was refused: %1.").arg(refusal)));

    const int code = Startup::updateRun(false, Startup::Query(), settings(folder));
    QCOMPARE(code, refusal.isEmpty() ? 0 : Startup::exitChannelRefused);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().text,
        refusal.isEmpty() ? QStringLiteral("No updates available.") : ExchangeFailed);
}

void tst_CheckUpdates::tamperedExchangeIsRefused_data()
{
    QTest::addColumn<FakeUpdateServer::Script>("script");
    QTest::addColumn<QString>("refusal"); // empty: a broken exchange, or taken with "taken"

    using Script = FakeUpdateServer::Script;
    const auto open = FakeUpdateServer::Ending::StayOpen;
    const auto withTrailing = [&](const QByteArray &trailing) {
        Script script { 0, { NoUpdates }, 0, open };
        script.trailing = trailing;
        return script;
    };
    const QString trailing = QStringLiteral("bytes follow the answer's end");
    QTest::newRow("blank lines after the answer")
        << withTrailing("\n\r\n  \n") << QStringLiteral("taken");
    QTest::newRow("text after the answer") << withTrailing("junk") << trailing;
    QTest::newRow("a comment after the answer") << withTrailing("<!-- more -->") << trailing;
    QTest::newRow("a second root after the answer") << withTrailing("<updates/>") << trailing;
    QTest::newRow("complete, but with more requests than an answer may hold") << Script {
        0, { "<reply>" + QByteArray("<request/>").repeated(10001) + "</reply>" }, 0, open
    } << QStringLiteral("it is not an answer the updater can read");
    // What a network can do to an exchange over TLS: cut it short, or hold it up.
    QTest::newRow("cut short, then closed")
        << Script { 0, { NoUpdates.left(40) }, 0, FakeUpdateServer::Ending::Close } << QString();
    QTest::newRow("silent until the time limit") << Script() << QString();
}

void tst_CheckUpdates::tamperedExchangeIsRefused()
{
    QFETCH(FakeUpdateServer::Script, script);
    QFETCH(QString, refusal);
    const QString folder = mainAppFolder();
    QVERIFY(installSample(folder));
    m_server->setScript(script);
    const bool taken = refusal == QLatin1String("taken");
    if (!taken && !refusal.isEmpty() && PackageSignature::unsignedPackagesAllowed())
        QSKIP("This build queries the update server over plain TCP, where anyone on the way may "
              "have sent such bytes: a broken exchange (configured with ORVI_UNSIGNED_PACKAGES)");
    if (!taken && !refusal.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
            qPrintable(QStringLiteral("The update server's answer was refused: %1.").arg(refusal)));

    EngineSettings query = settings(folder);
    query.networkTimeout = 1000;
    const int code = Startup::updateRun(false, Startup::Query(), query);
    QCOMPARE(code, taken || refusal.isEmpty() ? 0 : Startup::exitChannelRefused);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(
        m_boxes.first().text, taken ? QStringLiteral("No updates available.") : ExchangeFailed);
}

QTEST_MAIN(tst_CheckUpdates)

#include "tst_checkupdates.moc"
