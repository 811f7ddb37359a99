#include "applicationfolder.h"
#include "boxrecorder.h"
#include "deltabuilder.h"
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
    void deltaEndsInTheWholePackagesTree_data();
    void deltaEndsInTheWholePackagesTree();

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
    // records (a crash in between) has them recorded by the next start, once the main
    // application reports them.
    FakeUpdateServer updateServer;
    EngineSettings engineSettings = settings();
    engineSettings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), updateServer.port());
    OrviUpdaterEngine engine(engineSettings);
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
    QVector<VersionRecords::Record> completed;
    QCOMPARE(InstallationRun::recover(folder, m_root, &unrestored, {}, &completed),
        InstallationRun::Outcome::NotRun);
    QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), QByteArray());
    QVERIFY(ApplicationFolder::makeWithSample(m_root));
    QVERIFY(
        TestEnvironment::writeFile(m_root + QStringLiteral("/components"), "orvi core app 2.5\n"));
    updateServer.answer(FakeUpdateServer::NoUpdates);
    engine.confirmVersions(completed);
    QVERIFY(engine.checkUpdates());
    QCOMPARE(
        records.recorded(m_root + QStringLiteral("/"), "orvi", "core", "app"), QByteArray("2.5"));
    QCOMPARE(InstallationJournal::state(folder), InstallationJournal::State::None);
    QCOMPARE(TestEnvironment::readFile(records.filePath() + QStringLiteral(".unreadable-1")), "x");
    QCOMPARE(
        TestEnvironment::readFile(records.filePath() + QStringLiteral(".unreadable-2")), damaged);
}

void tst_OrviUpdaterEngine::deltaEndsInTheWholePackagesTree_data()
{
    QTest::addColumn<QString>("fault"); // what spoils the delta
    QTest::addColumn<bool>("deltaFetched");
    QTest::addColumn<bool>("deltaApplies");

    QTest::newRow("the delta applies") << QString() << true << true;
    QTest::newRow("no delta offered") << QStringLiteral("none") << false << false;
    QTest::newRow("the installed file was changed") << QStringLiteral("base") << true << false;
    QTest::newRow("signed by an unknown key") << QStringLiteral("key") << true << false;
    QTest::newRow("a patch that does not decode") << QStringLiteral("patch") << true << false;
    QTest::newRow("the delta's link fails") << QStringLiteral("link") << true << false;
    QTest::newRow("a delta from another version") << QStringLiteral("other") << false << false;
}

void tst_OrviUpdaterEngine::deltaEndsInTheWholePackagesTree()
{
    QFETCH(QString, fault);
    QFETCH(bool, deltaFetched);
    QFETCH(bool, deltaApplies);

    // Version 1 is installed; version 2 rebuilds the library with small changes, edits a text,
    // adds a file and removes one.
    const QString v1 = m_environment->root() + QStringLiteral("/v1");
    const QString v2 = m_environment->root() + QStringLiteral("/v2");
    QByteArray library(256 * 1024, Qt::Uninitialized);
    for (int i = 0; i < library.size(); ++i)
        library[i] = char((i * 7919) ^ (i >> 9));
    QByteArray rebuilt = library;
    for (int i = 1000; i < rebuilt.size(); i += 40000)
        rebuilt[i] = char(~rebuilt.at(i));
    rebuilt.insert(5000, "inserted");
    const auto write = [](const QString &folder, const char *name, const QByteArray &contents) {
        return TestEnvironment::writeFile(
            folder + QLatin1Char('/') + QLatin1String(name), contents);
    };
    for (const QString &folder : { v1, m_root }) {
        QVERIFY(write(folder, "lib.dll", library) && write(folder, "res.txt", "one\ntwo\n")
            && write(folder, "old.txt", "gone"));
    }
    QVERIFY(write(v2, "lib.dll", rebuilt) && write(v2, "res.txt", "one\n2\n")
        && write(v2, "new.txt", "new"));
    if (fault == QLatin1String("base"))
        QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/lib.dll"), library + "x"));

    const QString served = m_environment->root() + QStringLiteral("/served/");
    TestPackage whole;
    whole.addPackageElement(QStringLiteral("orvi"), QStringLiteral("core"), QStringLiteral("app"))
        .addFileElement(QString(), QStringLiteral("old.txt"), QStringLiteral("remove"));
    for (const char *name : { "lib.dll", "new.txt", "res.txt" })
        whole.addFile(QString(), QLatin1String(name),
            TestEnvironment::readFile(v2 + QLatin1Char('/') + QLatin1String(name)));
    whole.addDescriptorEntry(QStringLiteral("core-2.0.xml"));
    QVERIFY(whole.write(served + QStringLiteral("core-2.0.zip")));
    const QByteArray signature = TestSigning::sign(served + QStringLiteral("core-2.0.zip"),
        TestSigning::comment("core", "2.0", "core-2.0.zip"));

    // The delta as mkpackage --delta writes it; a spoilt patch fails its frame's checksum.
    TestPackage delta;
    delta.addFileElement(QString(), QStringLiteral("old.txt"), QStringLiteral("remove"))
        .addPatch(QStringLiteral("orvi_core_app.patch.0"), QString(), QStringLiteral("lib.dll"),
            library, rebuilt)
        .addFile(QString(), QStringLiteral("new.txt"), "new")
        .addFile(QString(), QStringLiteral("res.txt"), "one\n2\n")
        .addDescriptorEntry(QStringLiteral("core-2.0-from-1.0.xml"));
    if (fault == QLatin1String("patch"))
        delta.addEntry("orvi_core_app.patch.0", "(\xb5/\xfd spoilt");
    const QString deltaFile = served + QStringLiteral("core-2.0-from-1.0.zip");
    QVERIFY(delta.write(deltaFile));
    TrustedComment comment { "orvi", "core", "app", "2.0", "core-2.0-from-1.0.zip", "1.0" };
    const QByteArray deltaSignature = TestSigning::sign(deltaFile, comment.toText(),
        fault == QLatin1String("key") ? QStringLiteral("other") : QStringLiteral("test"));
    m_server.setResponse("/core-2.0.zip",
        FakeHttpServer::Response::ok(
            TestEnvironment::readFile(served + QStringLiteral("core-2.0.zip"))));
    m_server.setResponse("/core-2.0-from-1.0.zip",
        fault == QLatin1String("link")
            ? FakeHttpServer::Response::withStatus(404)
            : FakeHttpServer::Response::ok(TestEnvironment::readFile(deltaFile)));

    FakeUpdateServer updateServer;
    EngineSettings engineSettings = settings();
    engineSettings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), updateServer.port());
    OrviUpdaterEngine engine(engineSettings);
    QVERIFY(ApplicationFolder::makeWithSample(m_root));
    QVERIFY(
        TestEnvironment::writeFile(m_root + QStringLiteral("/components"), "orvi core app 1.0\n"));
    updateServer.answer(FakeUpdateServer::NoUpdates);
    QVERIFY(engine.checkUpdates());
    UpdateEntry::Delta offered { fault == QLatin1String("other") ? "0.9" : "1.0",
        m_server.url(QStringLiteral("/core-2.0-from-1.0.zip")).toStdString(),
        deltaSignature.toStdString(), -1 };
    engine.adoptUpdates(
        { EntryBuilder()
                .link(m_server.url(QStringLiteral("/core-2.0.zip")))
                .signature(signature)
                .size(QFileInfo(served + QStringLiteral("core-2.0.zip")).size())
                .delta(fault == QLatin1String("none") ? UpdateEntry::Delta() : offered)
                .make() });
    QSignalSpy finished(&engine, &OrviUpdaterEngine::downloadFinished);
    QSignalSpy progress(&engine, &OrviUpdaterEngine::downloadProgress);
    const qsizetype earlier = m_server.requestLines().size();
    engine.beginDownload();
    QVERIFY(finished.wait(20000));
    QuitRecorder::run([&engine] { engine.installUpdates(); });

    QVERIFY2(engine.installSucceeded(), qPrintable(m_boxes.texts().join(QLatin1Char('\n'))));
    QVERIFY2(m_boxes.boxes().isEmpty(), qPrintable(m_boxes.texts().join(QLatin1Char('\n'))));
    const QMap<QString, QByteArray> expected = FolderSnapshot::take(v2, true);
    const QMap<QString, QByteArray> after = FolderSnapshot::take(m_root, true);
    for (auto file = expected.cbegin(); file != expected.cend(); ++file)
        QVERIFY2(after.value(file.key()) == file.value(), qPrintable(file.key()));
    QVERIFY(!after.contains(QStringLiteral("old.txt")));
    // A delta fetched whole and then dropped makes room for the whole package: the percentage
    // falls back as the total grows by its size.
    bool fell = false;
    for (int i = 1; i < progress.size(); ++i)
        fell = fell || progress.at(i).at(0).toInt() < progress.at(i - 1).at(0).toInt();
    QCOMPARE(fell, deltaFetched && !deltaApplies && fault != QLatin1String("link"));
    const QStringList requests = m_server.requestLines().mid(earlier);
    QCOMPARE(requests.contains(QStringLiteral("GET /core-2.0-from-1.0.zip")), deltaFetched);
    QCOMPARE(requests.count(QStringLiteral("GET /core-2.0-from-1.0.zip")), deltaFetched ? 1 : 0);
    QCOMPARE(requests.contains(QStringLiteral("GET /core-2.0.zip")), !deltaApplies);
    QCOMPARE(
        engine.details().contains(QLatin1String("Only the changes were downloaded")), deltaApplies);
}

QTEST_MAIN(tst_OrviUpdaterEngine)
#include "tst_orviupdaterengine.moc"
