#include "applicationarguments.h"
#include "applicationfolder.h"
#include "boxrecorder.h"
#include "discardedfolders.h"
#include "entrybuilder.h"
#include "filesystem.h"
#include "foldersnapshot.h"
#include "installationjournal.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "quitrecorder.h"
#include "runmarker.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "updateentry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QtTest>

#include <memory>

using Snapshot = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(FileSystem::Operation)
Q_DECLARE_METATYPE(InstallationRun::Outcome)

class tst_InstallationRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void packagesInstall();
    void emptyCatalogue();
    void failureRollsBackEverything_data();
    void failureRollsBackEverything();
    void failureMessage_data();
    void failureMessage();
    void failedRollbackIsReported();
    void mainApplicationMissing();
    void swappedFolderLeadsNowhereElse_data();
    void swappedFolderLeadsNowhereElse();
    void recoveryEndsWhenTheApplicationIsBack_data();
    void recoveryEndsWhenTheApplicationIsBack();

private:
    struct Start
    {
        QString program;
        QStringList arguments;
        int filesInDownloadFolder;
    };

    UpdateEntry *entry(const std::string &name);
    void writePackage(const QString &name, const TestPackage &package);
    int filesInDownloadFolder() const;
    int runInstall();

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    QString m_root;
    QStringList m_log;
    BoxRecorder m_recorder;
    const QList<MessageBoxHandler::Box> &m_boxes = m_recorder.boxes();
    QList<Start> m_starts;
    QMessageBox::StandardButton m_answer = QMessageBox::Abort;
    std::function<void()> m_onWarning;
};

void tst_InstallationRun::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    QVERIFY(m_environment->confineDownloadFolder());
    m_root = m_environment->root() + QStringLiteral("/app");
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/orvi7.exe"), "main"));
    ApplicationArguments::set(
        { QStringLiteral("/x/updater"), QStringLiteral("-u"), QStringLiteral("-root"), m_root });
    EngineSettings settings;
    settings.appRoot = m_root;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    m_log.clear();
    m_recorder.clear();
    m_starts.clear();
    m_answer = QMessageBox::Abort;
    m_onWarning = nullptr;

    connect(m_engine.get(), &OrviUpdaterEngine::installFile, this,
        [this](const QString &name) { m_log << QStringLiteral("file ") + name; });
    connect(m_engine.get(), &OrviUpdaterEngine::installProgress, this,
        [this](int done) { m_log << QStringLiteral("progress %1").arg(done); });
    connect(m_engine.get(), &OrviUpdaterEngine::installFinished, this, [this]() {
        // The summary appears while the packages are still on disk; the folder is emptied after.
        m_log << (filesInDownloadFolder() > 0 ? QStringLiteral("finished, packages still there")
                                              : QStringLiteral("finished, no packages"));
    });
    m_recorder.setHook([this](const MessageBoxHandler::Box &box) {
        m_log << QStringLiteral("box ") + box.text.section(QLatin1Char('\n'), 0, 0);
    });
    m_recorder.setAnswer([this](const MessageBoxHandler::Box &box) {
        if (box.icon == QMessageBox::Warning) {
            if (m_onWarning)
                m_onWarning();
            return m_answer;
        }
        return MessageBoxHandler::defaultAnswer(box);
    });
    Platform::setDetachedStarter([this](const QString &program, const QStringList &arguments) {
        m_starts << Start { program, arguments, filesInDownloadFolder() };
        m_log << QStringLiteral("restart");
        return true;
    });
}

void tst_InstallationRun::cleanup()
{
    FileSystem::setFaultInjector(nullptr);
    Platform::setDetachedStarter(nullptr);
    m_engine.reset();
    m_environment.reset();
}

UpdateEntry *tst_InstallationRun::entry(const std::string &name)
{
    return EntryBuilder().name(name).make();
}

void tst_InstallationRun::writePackage(const QString &name, const TestPackage &package)
{
    QVERIFY(package.write(
        m_engine->downloadFolder() + QStringLiteral("/") + name + QStringLiteral(".zip")));
}

int tst_InstallationRun::filesInDownloadFolder() const
{
    int count = 0;
    QDirIterator it(m_engine->downloadFolder(), QDir::Files | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

int tst_InstallationRun::runInstall()
{
    return QuitRecorder::run([this]() { m_engine->installUpdates(); });
}

void tst_InstallationRun::packagesInstall()
{
    TestPackage p;
    p.addPackageElement(QStringLiteral("orvi"), QStringLiteral("P"), QStringLiteral("app"))
        .addFile(QString(), QStringLiteral("b.dll"), "b")
        .addFile(QString(), QStringLiteral("a.exe"), "a")
        .addDescriptorEntry(QStringLiteral("P.xml"));
    writePackage(QStringLiteral("P"), p);
    TestPackage q;
    q.addPackageElement(QStringLiteral("orvi"), QStringLiteral("Q"), QStringLiteral("app"))
        .addDescriptorEntry(QStringLiteral("Q.xml"));
    writePackage(QStringLiteral("Q"), q);
    m_engine->adoptUpdates({ entry("P"), entry("Q") });

    QCOMPARE(runInstall(), 0);

    QCOMPARE(m_engine->details(),
        QStringLiteral("Installing package P:\n - a.exe\n - b.dll\n\n"
                       "Installing package Q:\n\n\n"));
    QVERIFY(m_engine->installSucceeded());
    QCOMPARE(m_log,
        QStringList({ QStringLiteral("file P"), QStringLiteral("progress 50"),
            QStringLiteral("file Q"), QStringLiteral("progress 100"),
            QStringLiteral("finished, packages still there") }));
    QVERIFY(m_boxes.isEmpty());
    QVERIFY(m_starts.isEmpty());
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/a.exe")), QByteArray("a"));
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/b.dll")), QByteArray("b"));
    // Emptied of files; the folders stay.
    QCOMPARE(filesInDownloadFolder(), 0);
    QVERIFY(QFileInfo(m_engine->downloadFolder() + QStringLiteral("P/unwind")).isDir());
    QVERIFY(QFileInfo(m_engine->downloadFolder() + QStringLiteral("Q")).isDir());
}

void tst_InstallationRun::emptyCatalogue()
{
    QCOMPARE(runInstall(), 0);
    QVERIFY(m_engine->installSucceeded());
    QVERIFY(m_engine->details().isEmpty());
    QCOMPARE(m_log, QStringList { QStringLiteral("finished, no packages") });
}

void tst_InstallationRun::failureRollsBackEverything_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::newRow("Abort") << QMessageBox::Abort;
    QTest::newRow("Retry") << QMessageBox::Retry;
}

void tst_InstallationRun::failureRollsBackEverything()
{
    QFETCH(QMessageBox::StandardButton, answer);
    m_answer = answer;
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/shared.dll"), "v0"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/lib/removed.dll"), "r0"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/keep.dll"), "keep"));
    const Snapshot before = FolderSnapshot::take(m_root);

    TestPackage p1;
    p1.addFile(QString(), QStringLiteral("shared.dll"), "v1")
        .addFile(QStringLiteral("new"), QStringLiteral("new1.dll"), "n1")
        .addFileElement(
            QStringLiteral("lib"), QStringLiteral("removed.dll"), QStringLiteral("remove"))
        .addDescriptorEntry(QStringLiteral("P1.xml"));
    writePackage(QStringLiteral("P1"), p1);
    TestPackage p2;
    p2.addFile(QString(), QStringLiteral("shared.dll"), "v2")
        .addFile(QStringLiteral("new"), QStringLiteral("new2.dll"), "n2")
        .addPackageElement(QStringLiteral("orvi"), QStringLiteral("P2"), QStringLiteral("plugin"))
        .addDescriptorEntry(QStringLiteral("P2.xml"));
    writePackage(QStringLiteral("P2"), p2);
    TestPackage p3;
    p3.addFile(QString(), QStringLiteral("p3.dll"), "p3")
        .addDescriptorEntry(QStringLiteral("P3.xml"));
    writePackage(QStringLiteral("P3"), p3);
    m_engine->adoptUpdates({ entry("P1"), entry("P2"), entry("P3") });

    const int quits = runInstall();

    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
    QStringList expectedLog { QStringLiteral("file P1"), QStringLiteral("progress 33"),
        QStringLiteral("file P2"), QStringLiteral("box Wrong type!"),
        QStringLiteral("box Failed installing package P2"), QStringLiteral("file Rollback update"),
        QStringLiteral("progress 0"), QStringLiteral("progress 33"), QStringLiteral("progress 66"),
        QStringLiteral("progress 100"), QStringLiteral("finished, packages still there") };
    if (answer == QMessageBox::Retry)
        expectedLog << QStringLiteral("restart");
    QCOMPARE(m_log, expectedLog);

    const MessageBoxHandler::Box &warning = m_boxes.at(1);
    QCOMPARE(warning.icon, QMessageBox::Warning);
    QCOMPARE(warning.title, QStringLiteral("Update"));
    QCOMPARE(warning.text, QStringLiteral("Failed installing package P2"));
    QCOMPARE(warning.buttons, QMessageBox::Abort | QMessageBox::Retry);
    QCOMPARE(warning.defaultButton, QMessageBox::Retry);

    QCOMPARE(m_engine->details(), QStringLiteral("An error occured while installing updates"));
    QVERIFY(!m_engine->installSucceeded());
    // The third package was never reached: not even unpacked.
    QVERIFY(!QFileInfo::exists(m_engine->downloadFolder() + QStringLiteral("P3")));
    QCOMPARE(filesInDownloadFolder(), 0);

    if (answer == QMessageBox::Retry) {
        QCOMPARE(m_starts.size(), 1);
        QCOMPARE(m_starts.first().program, QCoreApplication::applicationFilePath());
        QCOMPARE(m_starts.first().arguments, QCoreApplication::arguments());
        QCOMPARE(m_starts.first().filesInDownloadFolder, 0);
        QCOMPARE(quits, 1);
    } else {
        QVERIFY(m_starts.isEmpty());
        QCOMPARE(quits, 0);
    }
}

void tst_InstallationRun::failureMessage_data()
{
    QTest::addColumn<bool>("withArchive");
    QTest::newRow("archive missing") << false;
    QTest::newRow("file cannot be created") << true;
}

void tst_InstallationRun::failureMessage()
{
    QFETCH(bool, withArchive);
    if (withArchive) {
        TestPackage package;
        package.addDirectoryEntry("clash").addEntry("clash", "file over folder");
        writePackage(QStringLiteral("P"), package);
    }
    m_engine->adoptUpdates({ entry("P") });
    runInstall();

    QCOMPARE(m_boxes.size(), 2);
    QString expected = QStringLiteral("Failed installing package P");
    if (withArchive) {
        // The system's error text, as the installer's own box showed it.
        const QString created = m_boxes.first().text;
        QVERIFY2(
            created.startsWith(QStringLiteral("Cannot create file clash (")), qPrintable(created));
        const QString errorText = created.mid(26).chopped(1);
        QVERIFY(!errorText.isEmpty());
        expected += QLatin1Char('\n') + errorText;
    } else {
        QCOMPARE(m_boxes.first().text, QStringLiteral("Unable to open update archive"));
    }
    QCOMPARE(m_boxes.at(1).text, expected);
}

void tst_InstallationRun::failedRollbackIsReported()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/a.dll"), "old a"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/b.dll"), "old b"));
    TestPackage p1;
    p1.addFile(QString(), QStringLiteral("a.dll"), "new a")
        .addDescriptorEntry(QStringLiteral("P1.xml"));
    writePackage(QStringLiteral("P1"), p1);
    TestPackage p2;
    p2.addFile(QString(), QStringLiteral("b.dll"), "new b")
        .addDescriptorEntry(QStringLiteral("P2.xml"));
    writePackage(QStringLiteral("P2"), p2);
    TestPackage p3;
    p3.addPackageElement({ { QStringLiteral("name"), QStringLiteral("other") } })
        .addDescriptorEntry(QStringLiteral("P3.xml"));
    writePackage(QStringLiteral("P3"), p3);
    m_engine->adoptUpdates({ entry("P1"), entry("P2"), entry("P3") });
    // P2's backup disappears before the rollback needs it.
    m_onWarning = [this]() {
        QVERIFY(QFile::remove(m_engine->downloadFolder() + QStringLiteral("P2/unwind//b.dll")));
    };

    const int quits = runInstall();

    QCOMPARE(quits, 1);
    QCOMPARE(m_log,
        QStringList({ QStringLiteral("file P1"), QStringLiteral("progress 33"),
            QStringLiteral("file P2"), QStringLiteral("progress 66"), QStringLiteral("file P3"),
            QStringLiteral("box Wrong name!"), QStringLiteral("box Failed installing package P3"),
            QStringLiteral("file Rollback update"), QStringLiteral("progress 0"),
            QStringLiteral("progress 33"), QStringLiteral("progress 66"),
            QStringLiteral("progress 100"),
            QStringLiteral("box An error occured while rolling back update progress. "
                           "Software may not work properly. Try reinstalling whole "
                           "application"),
            QStringLiteral("finished, packages still there") }));
    const MessageBoxHandler::Box &failure = m_boxes.at(2);
    QCOMPARE(failure.icon, QMessageBox::Critical);
    QCOMPARE(failure.title, QStringLiteral("Update"));
    QCOMPARE(failure.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The user learns what is missing and where the rest is kept.
    QVERIFY2(failure.text.contains(QStringLiteral("P2/unwind/b.dll"))
            && failure.text.contains(m_engine->downloadFolder()),
        qPrintable(failure.text));
    // The other rollbacks still ran.
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/a.dll")), QByteArray("old a"));
    QVERIFY(m_starts.isEmpty());
}

void tst_InstallationRun::mainApplicationMissing()
{
    QVERIFY(QFile::remove(ApplicationFolder::mainProgram(m_root)));
    TestPackage p;
    p.addFile(QString(), QStringLiteral("a.dll"), "a").addDescriptorEntry(QStringLiteral("P.xml"));
    writePackage(QStringLiteral("P"), p);
    m_engine->adoptUpdates({ entry("P") });

    const int quits = runInstall();

    // Told when the package's installation starts, before its name shows; the package then
    // fails for want of a destination.
    QCOMPARE(m_log,
        QStringList({ QStringLiteral("box Cannot run update!"), QStringLiteral("file P"),
            QStringLiteral("box Cannot find the destination folder of this package!"),
            QStringLiteral("box Failed installing package P"),
            QStringLiteral("file Rollback update"), QStringLiteral("progress 0"),
            QStringLiteral("progress 100"), QStringLiteral("finished, packages still there") }));
    QCOMPARE(quits, 1);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(m_boxes.at(i).icon, QMessageBox::Critical);
        QCOMPARE(m_boxes.at(i).title, QStringLiteral("Update"));
        QCOMPARE(m_boxes.at(i).buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
    QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/a.dll")));
}

void tst_InstallationRun::swappedFolderLeadsNowhereElse_data()
{
    QTest::addColumn<QString>("swapped"); // below the download folder; empty: that folder itself
    QTest::addColumn<QString>("trigger"); // the folder whose first operation swaps it
    QTest::addColumn<FileSystem::Operation>("operation"); // the operation below trigger
    QTest::addColumn<QString>("box"); // the first box's first line; empty: none
    QTest::addColumn<InstallationRun::Outcome>("outcome");

    QTest::newRow("package folder, as the first file is unpacked")
        << QStringLiteral("P") << QStringLiteral("P") << FileSystem::Operation::Open
        << QStringLiteral("Cannot create file a.dll (%1)").arg(qt_error_string(ENOTDIR))
        << InstallationRun::Outcome::RolledBack;
    QTest::newRow("unwind folder, as the first backup is made")
        << QStringLiteral("P/unwind") << QStringLiteral("P/unwind") << FileSystem::Operation::Link
        << QStringLiteral("Cannot back up file <root>/a.dll to <download>P/unwind/a.dll!")
        // No backup can be looked at through it either: the journal stays for the next start.
        << InstallationRun::Outcome::RollbackFailed;
    // Every backup name there looks taken then: the plan must not look for a free one for ever.
    QTest::newRow("unwind folder, before the plan")
        << QStringLiteral("P/unwind") << QStringLiteral("P") << FileSystem::Operation::Open
        << QStringLiteral("Cannot back up file <root>/a.dll to <download>P/unwind/a.dll!")
        << InstallationRun::Outcome::RolledBack;
    // Only this user may rename it: the run goes on in the folder it opened.
    QTest::newRow("download folder, as the journal is written")
        << QString() << QString() << FileSystem::Operation::Open << QString()
        << InstallationRun::Outcome::Completed;
}

// A folder in the download folder swapped for a link to another folder after it was checked:
// nothing there changes, and the run fails where it would have written through the link.
void tst_InstallationRun::swappedFolderLeadsNowhereElse()
{
#ifdef Q_OS_WIN
    QSKIP("the links of this system are reparse points, which the platform tests cover");
#endif
    QFETCH(QString, swapped);
    QFETCH(QString, trigger);
    QFETCH(FileSystem::Operation, operation);
    QFETCH(QString, box);
    QFETCH(InstallationRun::Outcome, outcome);
    box.replace(QStringLiteral("<root>"), m_root)
        .replace(QStringLiteral("<download>"), m_engine->downloadFolder());
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/a.dll"), "old a"));
    const Snapshot before = FolderSnapshot::take(m_root);
    const QString outside = m_environment->root() + QStringLiteral("/outside");
    QVERIFY(TestEnvironment::writeFile(outside + QStringLiteral("/P/unwind/x"), "outside"));
    const Snapshot outsideBefore = FolderSnapshot::take(outside);
    TestPackage p;
    p.addFile(QString(), QStringLiteral("a.dll"), "new a")
        .addDescriptorEntry(QStringLiteral("P.xml"));
    writePackage(QStringLiteral("P"), p);
    m_engine->adoptUpdates({ entry("P") });
    const QString folder = QDir::cleanPath(m_engine->downloadFolder() + swapped);
    const QString watched = QDir::cleanPath(m_engine->downloadFolder() + trigger);
    bool done = false;
    FileSystem::setFaultInjector(
        [&](FileSystem::Operation called, const QString &path, const QString &other) {
            const auto below = [&watched](const QString &file) {
                return QDir::cleanPath(file).startsWith(watched + QLatin1Char('/'));
            };
            if (!done && called == operation && (below(path) || below(other))) {
                done = QDir().rename(folder, m_environment->root() + QStringLiteral("/moved"))
                    && QFile::link(outside + QLatin1Char('/') + swapped, folder);
            }
            return 0;
        });

    runInstall();

    QVERIFY(done);
    const Snapshot outsideAfter = FolderSnapshot::take(outside);
    QVERIFY2(outsideAfter == outsideBefore,
        qPrintable(FolderSnapshot::describeDifference(outsideBefore, outsideAfter)));
    QCOMPARE(m_engine->installOutcome(), outcome);
    if (box.isEmpty()) {
        QVERIFY(m_boxes.isEmpty());
        QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/a.dll")), QByteArray("new a"));
        return;
    }
    QVERIFY(m_boxes.size() >= 2);
    QCOMPARE(m_boxes.first().text.section(QLatin1Char('\n'), 0, 0), box);
    QCOMPARE(m_boxes.at(1).text.section(QLatin1Char('\n'), 0, 0),
        QStringLiteral("Failed installing package P"));
    Snapshot after = FolderSnapshot::take(m_root);
    // Kept with the journal, for the next start's recovery.
    if (outcome == InstallationRun::Outcome::RollbackFailed)
        QVERIFY(after.remove(QFileInfo(RunMarker::path(m_root)).fileName()) == 1);
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
}

void tst_InstallationRun::recoveryEndsWhenTheApplicationIsBack_data()
{
    // What else the download folder holds besides an interrupted run's package folder.
    QTest::addColumn<QString>("leftOver");
    QTest::newRow("payloads and emptied backup folders") << QString();
    QTest::newRow("a link to a folder outside among them") << QStringLiteral("link");
    QTest::newRow("an earlier recovery's, never removed") << QStringLiteral("earlier");
}

// The recovery returns once the application is back and what is left is out of the way; it
// goes when the windows are closed, links removed and never followed.
void tst_InstallationRun::recoveryEndsWhenTheApplicationIsBack()
{
    QFETCH(QString, leftOver);
    const QString download = QDir::cleanPath(m_engine->downloadFolder());
    const QString parent = QFileInfo(download).path();
    PlanStep step;
    step.kind = PlanStep::Kind::Replace;
    step.target = m_root + QStringLiteral("/lib/x.dll");
    step.backup = download + QStringLiteral("/core/unwind/lib/x.dll");
    QVERIFY(TestEnvironment::writeFile(step.target, "new"));
    QVERIFY(TestEnvironment::writeFile(step.backup, "old"));
    QVERIFY(TestEnvironment::writeFile(download + QStringLiteral("/core/lib/y.dll"), "payload"));
    QVERIFY(TestEnvironment::writeFile(download + QStringLiteral("/core.zip"), "archive"));
    const QString outside = m_environment->root() + QStringLiteral("/outside");
    QVERIFY(TestEnvironment::writeFile(outside + QStringLiteral("/keep"), "mine"));
    if (leftOver == QLatin1String("link")) {
#ifdef Q_OS_WIN
        QSKIP("the links of this system are reparse points, which the platform tests cover");
#endif
        QVERIFY(QFile::link(outside, download + QStringLiteral("/core/lib/outside")));
    }
    if (leftOver == QLatin1String("earlier"))
        QVERIFY(TestEnvironment::writeFile(
            parent + QStringLiteral("/tupdates-discarded-1/old/z.dll"), "earlier"));
    InstallationJournal journal(download);
    QVERIFY(journal.begin({ m_root, QString() }));
    QVERIFY(journal.addPackage(QStringLiteral("core"), { step }));

    QStringList unrestored;
    QCOMPARE(InstallationRun::recover(download, m_root, &unrestored),
        InstallationRun::Outcome::RolledBack);

    QCOMPARE(TestEnvironment::readFile(step.target), QByteArray("old"));
    QCOMPARE(QDir(download).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());
    const QString discarded = parent
        + (leftOver == QLatin1String("earlier") ? QStringLiteral("/tupdates-discarded-2")
                                                : QStringLiteral("/tupdates-discarded-1"));
    QCOMPARE(TestEnvironment::readFile(discarded + QStringLiteral("/core/lib/y.dll")),
        QByteArray("payload"));
    QCOMPARE(InstallationJournal::state(discarded), InstallationJournal::State::Finished);

    DiscardedFolders::removeAll(download);

    QCOMPARE(QDir(parent).entryList(
                 { QStringLiteral("tupdates-discarded-*") }, QDir::AllEntries | QDir::Hidden),
        QStringList());
    QCOMPARE(TestEnvironment::readFile(outside + QStringLiteral("/keep")), QByteArray("mine"));
    QVERIFY(QFileInfo::exists(download));
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_InstallationRun)
#include "tst_installationrun.moc"
