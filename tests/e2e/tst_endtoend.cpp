#include "applicationarguments.h"
#include "applicationfolder.h"
#include "boxrecorder.h"
#include "embeddedresources.h"
#include "fakehttpserver.h"
#include "fakeupdateserver.h"
#include "foldersnapshot.h"
#include "formloader.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "startup.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "testsigning.h"
#include "toplevelwindows.h"

#include <QApplication>
#include <QDirIterator>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

using Snapshot = QMap<QString, QByteArray>;

namespace {

QByteArray requestElement(
    const char *name, const QString &link, const char *version, const QByteArray &signature)
{
    return QByteArrayLiteral("<request project=\"orvi\" name=\"") + name
        + QByteArrayLiteral("\" type=\"app\"><version>") + version
        + QByteArrayLiteral("</version><description>") + name
        + QByteArrayLiteral("</description><changelog>Better ") + name
        + QByteArrayLiteral("</changelog><link>") + link.toUtf8()
        + QByteArrayLiteral("</link><signature>") + signature
        + QByteArrayLiteral("</signature></request>");
}

} // namespace

/*
 * The whole update in one process, as a user goes through it: the query against an update
 * server, the offer, the download from an HTTP server, the installation, the summary and the
 * restart of the main application.
 */
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void wholeUpdate_data();
    void wholeUpdate();

private:
    struct Start
    {
        QString program;
        QStringList arguments;
    };

    void writeVersionOne(const QString &folder);
    int runUpdater();

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<FakeHttpServer> m_http;
    std::unique_ptr<FakeUpdateServer> m_updateServer;
    QString m_app;
    QList<Start> m_starts;
    BoxRecorder m_boxes;
    QString m_summaryStatus;
    QString m_summaryDetails;
};

void tst_EndToEnd::initTestCase()
{
    EmbeddedResources::registerBundle();
}

void tst_EndToEnd::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_app = m_environment->root() + QStringLiteral("/Orvi Messenger");
    writeVersionOne(m_app);
    QVERIFY(ApplicationFolder::makeWithSample(m_app));
    QVERIFY(TestEnvironment::writeFile(
        m_app + QStringLiteral("/components"), "orvi core app 1.0\norvi emoticons app 1.0\n"));
    ApplicationArguments::set(ApplicationFolder::updateArguments(m_app));

    m_http = std::make_unique<FakeHttpServer>();
    QVERIFY(m_http->listen());
    m_updateServer = std::make_unique<FakeUpdateServer>();
    QVERIFY(m_updateServer->port() != 0);

    m_starts.clear();
    m_boxes.clear();
    m_summaryStatus.clear();
    m_summaryDetails.clear();
    Platform::setDetachedStarter([this](const QString &program, const QStringList &arguments) {
        m_starts << Start { program, arguments };
        return true;
    });
    m_boxes.setAnswer([](const MessageBoxHandler::Box &box) {
        return box.buttons.testFlag(QMessageBox::Abort) ? QMessageBox::Abort
                                                        : MessageBoxHandler::defaultAnswer(box);
    });
}

void tst_EndToEnd::cleanup()
{
    Platform::setDetachedStarter(nullptr);
    m_updateServer.reset();
    m_http.reset();
    m_environment.reset();
}

void tst_EndToEnd::writeVersionOne(const QString &folder)
{
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("/lib/core.dll"), "core 1"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("/old.txt"), "old"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("/emoticons/smile.png"), "smile 1"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("/readme.txt"), "readme"));
}

// Drives the windows as a user would: "Download now" on the offer, "Close" on the summary.
int tst_EndToEnd::runUpdater()
{
    bool downloadClicked = false;
    bool closeClicked = false;
    QTimer autopilot;
    QObject::connect(&autopilot, &QTimer::timeout, [&] {
        if (QWidget *offer
            = TopLevelWindows::visible(QStringLiteral("Updater_Changelog_MainWindow"));
            offer && !downloadClicked) {
            downloadClicked = true;
            QTest::mouseClick(FormLoader::widget<QPushButton>(
                                  offer, QStringLiteral("Updater_Changelog_DownloadNow")),
                Qt::LeftButton);
        }
        if (QWidget *summary
            = TopLevelWindows::visible(QStringLiteral("Updater_Summary_MainWindow"));
            summary && !closeClicked) {
            closeClicked = true;
            m_summaryStatus
                = FormLoader::widget<QLabel>(summary, QStringLiteral("Updater_Summary_Status"))
                      ->text();
            m_summaryDetails = FormLoader::widget<QPlainTextEdit>(
                summary, QStringLiteral("Updater_Summary_Details"))
                                   ->toPlainText();
            QTest::mouseClick(
                FormLoader::widget<QPushButton>(summary, QStringLiteral("Updater_Summary_Restart")),
                Qt::LeftButton);
        }
    });
    autopilot.start(10);
    QTimer failsafe;
    failsafe.setSingleShot(true);
    QObject::connect(&failsafe, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    failsafe.start(60000);

    // As start-up builds it from the command line, with the test's update server.
    EngineSettings settings;
    settings.appRoot = Startup::scanSwitches(QCoreApplication::arguments()).appRoot;
    settings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), m_updateServer->port());
    return Startup::updateRun(false, Startup::Query(), settings);
}

void tst_EndToEnd::wholeUpdate_data()
{
    QTest::addColumn<bool>("secondFails");
    QTest::newRow("both packages install") << false;
    QTest::newRow("second package names the wrong type") << true;
}

void tst_EndToEnd::wholeUpdate()
{
    QFETCH(bool, secondFails);

    TestPackage core;
    core.addPackageElement(QStringLiteral("orvi"), QStringLiteral("core"), QStringLiteral("app"))
        .addFile(QStringLiteral("lib"), QStringLiteral("core.dll"), "core 2")
        .addFile(QStringLiteral("plugins"), QStringLiteral("new.dat"), "new")
        .addFileElement(QString(), QStringLiteral("old.txt"), QStringLiteral("remove"))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    TestPackage emoticons;
    emoticons
        .addPackageElement(QStringLiteral("orvi"), QStringLiteral("emoticons"),
            secondFails ? QStringLiteral("plugin") : QStringLiteral("app"))
        .addFile(QStringLiteral("emoticons"), QStringLiteral("smile.png"), "smile 2")
        .addDescriptorEntry(QStringLiteral("emoticons.xml"));
    const QString staging = m_environment->root() + QStringLiteral("/staging/");
    QVERIFY(core.write(staging + QStringLiteral("core.zip")));
    QVERIFY(emoticons.write(staging + QStringLiteral("emoticons.zip")));
    m_http->setResponse("/core.zip",
        FakeHttpServer::Response::ok(
            TestEnvironment::readFile(staging + QStringLiteral("core.zip"))));
    m_http->setResponse("/emoticons.zip",
        FakeHttpServer::Response::ok(
            TestEnvironment::readFile(staging + QStringLiteral("emoticons.zip"))));
    m_updateServer->answer(QByteArrayLiteral("<updates>")
        + requestElement("core", m_http->url(QStringLiteral("/core.zip")), "2.0",
            TestSigning::sign(staging + QStringLiteral("core.zip"),
                TestSigning::comment("core", "2.0", "core.zip")))
        + requestElement("emoticons", m_http->url(QStringLiteral("/emoticons.zip")), "1.1",
            TestSigning::sign(staging + QStringLiteral("emoticons.zip"),
                TestSigning::comment("emoticons", "1.1", "emoticons.zip")))
        + QByteArrayLiteral("</updates>"));

    const Snapshot before = FolderSnapshot::take(m_app);
    const QString expectedFolder = m_environment->root() + QStringLiteral("/expected");
    writeVersionOne(expectedFolder);
    QVERIFY(QFile::remove(expectedFolder + QStringLiteral("/old.txt")));
    QVERIFY(TestEnvironment::writeFile(expectedFolder + QStringLiteral("/lib/core.dll"), "core 2"));
    QVERIFY(TestEnvironment::writeFile(expectedFolder + QStringLiteral("/plugins/new.dat"), "new"));
    QVERIFY(TestEnvironment::writeFile(
        expectedFolder + QStringLiteral("/emoticons/smile.png"), "smile 2"));
    Snapshot expected = FolderSnapshot::take(expectedFolder);
    expected.insert(QStringLiteral("orvi7.exe"), before.value(QStringLiteral("orvi7.exe")));
    expected.insert(QStringLiteral("components"), before.value(QStringLiteral("components")));

    const int code = runUpdater();

    QCOMPARE(code, secondFails ? Startup::exitRolledBack : 0);
    const QByteArray request = m_updateServer->received();
    QVERIFY2(request.startsWith("<s nonce=\"") && request.endsWith("</s>")
            && request.contains("<component project=\"orvi\" name=\"core\"")
            && request.contains("<component project=\"orvi\" name=\"emoticons\""),
        request.constData());
    QCOMPARE(m_http->requestLines(),
        (QStringList { QStringLiteral("HEAD /core.zip"), QStringLiteral("HEAD /emoticons.zip"),
            QStringLiteral("GET /core.zip"), QStringLiteral("GET /emoticons.zip") }));

    const Snapshot after = FolderSnapshot::take(m_app);
    if (secondFails) {
        QCOMPARE(m_summaryStatus, QStringLiteral("Installation failed"));
        QCOMPARE(m_summaryDetails, QStringLiteral("An error occured while installing updates"));
        QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
        QCOMPARE(m_boxes.boxes().size(), 2);
        QCOMPARE(m_boxes.boxes().at(0).text, QStringLiteral("Wrong type!"));
        QCOMPARE(m_boxes.boxes().at(1).icon, QMessageBox::Warning);
        QCOMPARE(m_boxes.boxes().at(1).text, QStringLiteral("Failed installing package emoticons"));
    } else {
        QCOMPARE(m_summaryStatus, QStringLiteral("Installation complete"));
        QCOMPARE(m_summaryDetails,
            QStringLiteral("Installing package core:\n - lib/core.dll\n - plugins/new.dat\n\n"
                           "Installing package emoticons:\n - emoticons/smile.png\n\n"));
        QVERIFY2(
            after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
        QVERIFY(m_boxes.boxes().isEmpty());
    }

    QCOMPARE(m_starts.size(), 1);
    QCOMPARE(
        m_starts.first().program, Platform::quoteProgram(ApplicationFolder::mainProgram(m_app)));
    QCOMPARE(m_starts.first().arguments, QStringList());

    QStringList leftOver;
    QDirIterator files(m_environment->tempFolder() + QStringLiteral("/tupdates"),
        QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext())
        leftOver << files.next();
    QVERIFY2(leftOver.isEmpty(), qPrintable(leftOver.join(QLatin1Char('\n'))));
    QTRY_VERIFY_WITH_TIMEOUT(QApplication::topLevelWidgets().isEmpty(), 5000);
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_EndToEnd)
#include "tst_endtoend.moc"
