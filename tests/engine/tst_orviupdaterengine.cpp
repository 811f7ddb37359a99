#include "applicationfolder.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "fakehttpserver.h"
#include "fakeupdateserver.h"
#include "filesystem.h"
#include "foldersnapshot.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "quitrecorder.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "testsigning.h"
#include "updateentry.h"
#include "versionrecords.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <memory>

namespace {
UpdateEntry *entry(const std::string &name)
{
    return EntryBuilder().name(name).link("http://h/" + name + ".zip").make();
}
} // namespace

/*
 * The engine as the windows drive it: it owns the catalogue, and it joins the download, the
 * acceptance check and the installation with the settings it was built with.
 */
class tst_OrviUpdaterEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_server.listen()); }
    void init();
    void cleanup();

    void newEngine();
    void appFolderIsProbedByAFile_data();
    void appFolderIsProbedByAFile();
    void catalogueIsOwnedByTheEngine();
    void downloadedPackageIsCheckedBeforeInstalling_data();
    void downloadedPackageIsCheckedBeforeInstalling();
    void versionIsRecordedOnlyByACompletedRun();

private:
    EngineSettings settings() const;

    std::unique_ptr<TestEnvironment> m_environment;
    FakeHttpServer m_server;
    QString m_root;
    BoxRecorder m_boxes;
};

void tst_OrviUpdaterEngine::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_root = m_environment->root() + QStringLiteral("/app");
    QVERIFY(ApplicationFolder::make(m_root));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/lib.dll"), "old"));
    // A failed run is abandoned, never started again.
    m_boxes.clear();
    m_boxes.setAnswer([](const MessageBoxHandler::Box &box) {
        return box.buttons.testFlag(QMessageBox::Abort) ? QMessageBox::Abort
                                                        : MessageBoxHandler::defaultAnswer(box);
    });
    Platform::setDetachedStarter([](const QString &, const QStringList &) {
        qWarning("the update was started again");
        return false;
    });
}

void tst_OrviUpdaterEngine::cleanup()
{
    Platform::setDetachedStarter(nullptr);
    m_environment.reset();
}

EngineSettings tst_OrviUpdaterEngine::settings() const
{
    EngineSettings settings;
    settings.appRoot = m_root;
    settings.signingKeys = { TestSigning::publicKey(QStringLiteral("test")) };
    settings.unsignedAllowed = false;
    return settings;
}

void tst_OrviUpdaterEngine::newEngine()
{
    const QString folder = m_environment->tempFolder() + QStringLiteral("/tupdates/");
    QVERIFY(!QDir(folder).exists());

    OrviUpdaterEngine engine;

    QVERIFY(!engine.hasUpdates());
    QVERIFY(engine.updates().isEmpty());
    QVERIFY(engine.details().isEmpty());
    QVERIFY(!engine.installSucceeded());
    QCOMPARE(engine.installOutcome(), InstallationRun::Outcome::NotRun);
    QCOMPARE(engine.downloadState(), PackageDownload::State::Idle);
    QCOMPARE(engine.downloadFolder(), folder);
    QVERIFY(QDir(folder).exists());
}

void tst_OrviUpdaterEngine::appFolderIsProbedByAFile_data()
{
    QTest::addColumn<int>("error"); // what the probe's file fails with; 0: the system's answer
    QTest::addColumn<bool>("missing");
    QTest::addColumn<bool>("changeable");

    QTest::newRow("takes a file") << 0 << false << true;
    QTest::newRow("missing: the installation says why") << 0 << true << true;
    QTest::newRow("permission denied") << EACCES << false << false;
    QTest::newRow("not permitted") << EPERM << false << false;
    QTest::newRow("read-only file system") << EROFS << false << false;
    QTest::newRow("disk full: the installation says why") << ENOSPC << false << true;
}

void tst_OrviUpdaterEngine::appFolderIsProbedByAFile()
{
    QFETCH(int, error);
    QFETCH(bool, missing);
    QFETCH(bool, changeable);
    if (missing)
        QVERIFY(QDir(m_root).removeRecursively());
    const auto before = FolderSnapshot::take(m_root, true);
    QStringList probed;
    FileSystem::setFaultInjector(
        [&](FileSystem::Operation operation, const QString &path, const QString &) {
            probed << path;
            return operation == FileSystem::Operation::Open ? error : 0;
        });

    const bool result = OrviUpdaterEngine(settings()).canChangeAppFolder();
    FileSystem::setFaultInjector(nullptr);

    QCOMPARE(result, changeable);
    QCOMPARE(probed, QStringList { m_root });
    QCOMPARE(FolderSnapshot::take(m_root, true), before);
}

void tst_OrviUpdaterEngine::catalogueIsOwnedByTheEngine()
{
    auto engine = std::make_unique<OrviUpdaterEngine>();
    const QVector<UpdateEntry *> first { entry("a"), entry("b") };
    engine->adoptUpdates(first);
    QVERIFY(engine->hasUpdates());
    QCOMPARE(engine->updates(), first);

    // Refilling deletes the old entries; destruction deletes the new ones. The sanitizer
    // build turns a double delete or a leak here into a failure.
    const QVector<UpdateEntry *> second { entry("c"), nullptr, entry("d") };
    engine->adoptUpdates(second);
    QCOMPARE(engine->updates(), second);
    engine.reset();
}

void tst_OrviUpdaterEngine::downloadedPackageIsCheckedBeforeInstalling_data()
{
    QTest::addColumn<bool>("signedPackage");
    QTest::addColumn<QByteArray>("installed"); // the version recorded before the run
    QTest::addColumn<QByteArray>("reported"); // by the main application; empty: not asked
    QTest::addColumn<QString>("refusal"); // empty: the package installs

    const QByteArray none;
    QTest::newRow("signed with a key of the settings") << true << none << none << QString();
    QTest::newRow("unsigned") << false << none << none << QStringLiteral("not signed");
    QTest::newRow("older than the version recorded for the main application's folder")
        << true << QByteArray("2.10") << none << QStringLiteral("older than version 2.10");
    QTest::newRow("older than the version the main application reports, no record")
        << true << none << QByteArray("2.1") << QStringLiteral("older than version 2.1");
}

void tst_OrviUpdaterEngine::downloadedPackageIsCheckedBeforeInstalling()
{
    QFETCH(bool, signedPackage);
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, reported);
    QFETCH(QString, refusal);

    const QString served = m_environment->root() + QStringLiteral("/served/core-2.0.zip");
    TestPackage package;
    package.addPackageElement(QStringLiteral("orvi"), QStringLiteral("core"), QStringLiteral("app"))
        .addFile(QString(), QStringLiteral("lib.dll"), "new")
        .addDescriptorEntry(TestPackage::descriptorEntryFor(QStringLiteral("/core-2.0.zip")));
    QVERIFY(package.write(served));
    QByteArray signature;
    if (signedPackage) {
        signature = TestSigning::sign(served, TestSigning::comment("core", "2.0", "core-2.0.zip"));
        QVERIFY(!signature.isEmpty());
    }
    m_server.setResponse(
        "/core-2.0.zip", FakeHttpServer::Response::ok(TestEnvironment::readFile(served)));
    VersionRecords records(Platform::stateFolder());
    if (!installed.isEmpty())
        QVERIFY(records.record({ { m_root, "orvi", "core", "app", installed } }));

    FakeUpdateServer updateServer;
    EngineSettings engineSettings = settings();
    engineSettings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), updateServer.port());
    OrviUpdaterEngine engine(engineSettings);
    if (!reported.isEmpty()) {
        QVERIFY(ApplicationFolder::makeWithSample(m_root));
        QVERIFY(TestEnvironment::writeFile(
            m_root + QStringLiteral("/components"), "orvi core app " + reported + "\n"));
        updateServer.answer(FakeUpdateServer::NoUpdates);
        QVERIFY(engine.checkUpdates());
    }
    engine.adoptUpdates({ EntryBuilder()
                              .link(m_server.url(QStringLiteral("/core-2.0.zip")))
                              .signature(signature)
                              .make() });
    const QMap<QString, QByteArray> before = FolderSnapshot::take(m_root, true);
    QSignalSpy finished(&engine, &OrviUpdaterEngine::downloadFinished);
    QSignalSpy errors(&engine, &OrviUpdaterEngine::error);
    engine.beginDownload();
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() + errors.count() > 0, 20000);

    if (!refusal.isEmpty()) {
        QCOMPARE(finished.count(), 0);
        const QString text = errors.at(0).at(0).toString();
        QVERIFY2(text.contains(QLatin1String("package core")) && text.contains(refusal),
            qPrintable(text));
        // Nothing of it was kept, let alone unpacked.
        QVERIFY(QDir(engine.downloadFolder())
                    .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                    .isEmpty());
        const QMap<QString, QByteArray> after = FolderSnapshot::take(m_root, true);
        QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
        QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), installed);
        return;
    }
    QVERIFY2(errors.isEmpty(), qPrintable(errors.value(0).value(0).toString()));
    QuitRecorder::run([&engine] { engine.installUpdates(); });
    QVERIFY(engine.installSucceeded());
    QCOMPARE(engine.installOutcome(), InstallationRun::Outcome::Completed);
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/lib.dll")), QByteArray("new"));
    QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), QByteArray("2.0"));
}

void tst_OrviUpdaterEngine::versionIsRecordedOnlyByACompletedRun()
{
    // A run that fails records nothing; a completed journal whose versions never reached the
    // records (a crash in between) has them recorded by the next start.
    OrviUpdaterEngine engine(settings());
    const QString folder = engine.downloadFolder();
    engine.adoptUpdates({ EntryBuilder().make() });
    QuitRecorder::run([&engine] { engine.installUpdates(); });
    QVERIFY(!engine.installSucceeded());
    VersionRecords records(Platform::stateFolder());
    QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), QByteArray());

    // An unreadable versions file is set aside, never overwritten, nor is a name taken.
    const QByteArray damaged = "orvi-versions 1\ninstalled";
    QVERIFY(TestEnvironment::writeFile(records.filePath(), damaged));
    QVERIFY(TestEnvironment::writeFile(records.filePath() + QStringLiteral(".unreadable-1"), "x"));
    InstallationJournal journal(folder);
    QVERIFY(journal.begin({ m_root, QString() }));
    QVERIFY(journal.finish(true, { { m_root, "orvi", "core", "app", "2.5" } }));
    QStringList unrestored;
    QCOMPARE(
        InstallationRun::recover(folder, QString(), &unrestored), InstallationRun::Outcome::NotRun);
    QCOMPARE(
        records.recorded(m_root + QStringLiteral("/"), "orvi", "core", "app"), QByteArray("2.5"));
    QCOMPARE(InstallationJournal::state(folder), InstallationJournal::State::None);
    QCOMPARE(TestEnvironment::readFile(records.filePath() + QStringLiteral(".unreadable-1")), "x");
    QCOMPARE(
        TestEnvironment::readFile(records.filePath() + QStringLiteral(".unreadable-2")), damaged);
}

QTEST_MAIN(tst_OrviUpdaterEngine)
#include "tst_orviupdaterengine.moc"
