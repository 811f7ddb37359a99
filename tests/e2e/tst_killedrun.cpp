#include "applicationfolder.h"
#include "foldersnapshot.h"
#include "servedupdate.h"
#include "startup.h"
#include "testenvironment.h"
#include "testpackage.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <csignal>
#endif

using Snapshot = QMap<QString, QByteArray>;

/*
 * The updater as a process, ended from outside the way a crash or a power cut ends it (killed
 * by itself after its k-th change below the application folder or the user's plug-in folder,
 * in %APPDATA% on Windows: TerminateProcess there, SIGKILL elsewhere) at a few points of an
 * install of programs, libraries and a plug-in, of its rollback
 * and of the recovery of an interrupted install; the next start must leave exactly the tree
 * before the update or exactly the complete new one. And a second start while one runs, which
 * must wait, give up and change nothing. The long version on Linux, against real servers, is
 * tst_crash; this one runs on every system.
 */
class tst_KilledRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void killedAndRestarted_data();
    void killedAndRestarted();
    void killedWhileApplyingTheDelta_data();
    void killedWhileApplyingTheDelta();
    void secondStartChangesNothing_data();
    void secondStartChangesNothing();

private:
    struct Run
    {
        int exitCode = -1;
        bool killed = false;
        int changes = -1;
        QString output;
    };

    void freshInstallation();
    void offer(bool lastFails, bool withDelta = false);
    QProcessEnvironment environment() const;
    QString journal() const
    {
        return m_environment->tempFolder() + QStringLiteral("/tupdates/journal");
    }
    static Run finish(QProcess &updater);
    Run runUpdater(int killAfter);
    QString pluginFolder() const
    {
        return m_environment->root() + QStringLiteral("/data/Orvi/plugins");
    }
    Snapshot tree() const;

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<ServedUpdate> m_update;
    QString m_app;
    Snapshot m_before;
    Snapshot m_after;
    int m_installChanges = 0;
};

namespace {
const QStringList Arguments { QStringLiteral("-u"), QStringLiteral("-q"), QStringLiteral("-root") };
} // namespace

void tst_KilledRun::initTestCase()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_app = m_environment->root() + QStringLiteral("/Orvi Messenger");
    freshInstallation();
    m_before = tree();
    offer(false);
    const Run clean = runUpdater(-1);
    QCOMPARE(clean.exitCode, 0);
    m_installChanges = clean.changes;
    m_after = tree();
    QVERIFY(m_after != m_before);
    QCOMPARE(m_after.value(QStringLiteral("y")), QByteArray("<dir>"));
    QVERIFY(m_after.contains(QStringLiteral("%APPDATA%/spell/en.dat")));
}

void tst_KilledRun::cleanupTestCase()
{
    m_update.reset();
    m_environment.reset();
}

// Both roots, the plug-ins' under the name "%APPDATA%".
Snapshot tst_KilledRun::tree() const
{
    Snapshot tree = FolderSnapshot::take(m_app, true);
    const Snapshot plugins = FolderSnapshot::take(pluginFolder(), true);
    for (auto file = plugins.cbegin(); file != plugins.cend(); ++file)
        tree.insert(QStringLiteral("%APPDATA%/") + file.key(), file.value());
    return tree;
}

// Programs and libraries replaced and removed, a file that becomes a folder, files added.
void tst_KilledRun::freshInstallation()
{
    QDir(m_app).removeRecursively();
    QDir(pluginFolder()).removeRecursively();
    QVERIFY(
        TestEnvironment::writeFile(pluginFolder() + QStringLiteral("/spell/dict.dll"), "dict 1"));
    QDir(m_environment->tempFolder()).removeRecursively();
    for (int i = 0; i < 12; ++i)
        QVERIFY(TestEnvironment::writeFile(m_app + QStringLiteral("/lib/f%1.dll").arg(i),
            "version 1 of " + QByteArray::number(i)));
    QVERIFY(TestEnvironment::writeFile(m_app + QStringLiteral("/tool.exe"), "tool 1"));
    QVERIFY(TestEnvironment::writeFile(m_app + QStringLiteral("/y"), "y was a file"));
    QVERIFY(TestEnvironment::writeFile(m_app + QStringLiteral("/readme.txt"), "readme 1"));
    QVERIFY(TestEnvironment::writeFile(
        m_app + QStringLiteral("/components"), "orvi core app 1\norvi extra app 1\n"));
    QVERIFY(ApplicationFolder::makeWithSample(m_app));
}

void tst_KilledRun::offer(bool lastFails, bool withDelta)
{
    m_update = std::make_unique<ServedUpdate>(m_environment->root() + QStringLiteral("/staging"));
    QVERIFY(m_update->isValid());
    // The delta makes the same tree, its libraries patched.
    TestPackage core;
    TestPackage delta;
    for (TestPackage *package : { &core, &delta }) {
        for (int i = 0; i < 8; ++i) {
            const QString name = QStringLiteral("f%1.dll").arg(i);
            const QByteArray contents = "version 2 of " + QByteArray::number(i);
            if (package == &delta)
                delta.addPatch(QStringLiteral("orvi_core_app.patch.%1").arg(i),
                    QStringLiteral("lib"), name, "version 1 of " + QByteArray::number(i), contents);
            else
                core.addFile(QStringLiteral("lib"), name, contents);
        }
        for (int i = 8; i < 12; ++i)
            package->addFileElement(
                QStringLiteral("lib"), QStringLiteral("f%1.dll").arg(i), QStringLiteral("remove"));
        for (int i = 0; i < 6; ++i)
            package->addFile(QStringLiteral("new"), QStringLiteral("n%1.dat").arg(i), "new");
        package->addFile(QString(), QStringLiteral("tool.exe"), "tool 2")
            .addFile(QString(), QStringLiteral("readme.txt"), "readme 2")
            .addFileElement(QString(), QStringLiteral("y"), QStringLiteral("remove"))
            .addFile(QStringLiteral("y"), QStringLiteral("z.dll"), "z");
    }
    core.addDescriptorEntry(QStringLiteral("core.xml"));
    delta.addDescriptorEntry(QStringLiteral("core-from-1.xml"));
    TestPackage extra;
    extra.addPackageElement(QStringLiteral("orvi"), QStringLiteral("extra"),
        lastFails ? QStringLiteral("plugin") : QStringLiteral("app"));
    for (int i = 0; i < 6; ++i)
        extra.addFile(QStringLiteral("extra"), QStringLiteral("e%1.dll").arg(i), "extra");
    extra.addDescriptorEntry(QStringLiteral("extra.xml"));
    TestPackage spell;
    spell
        .addPackageElement(
            QStringLiteral("orvi"), QStringLiteral("spell"), QStringLiteral("plugin"))
        .addFile(QStringLiteral("spell"), QStringLiteral("dict.dll"), "dict 2")
        .addFile(QStringLiteral("spell"), QStringLiteral("en.dat"), "en")
        .addDescriptorEntry(QStringLiteral("spell.xml"));
    QVERIFY(m_update->add("core", core, "app", withDelta ? &delta : nullptr));
    QVERIFY(m_update->add("spell", spell, "plugin"));
    QVERIFY(m_update->add("extra", extra));
}

QProcessEnvironment tst_KilledRun::environment() const
{
    QProcessEnvironment environment = m_update->environment();
    environment.insert(QStringLiteral("ORVI_TEST_LOCK_TIMEOUT"), QStringLiteral("300"));
    return environment;
}

tst_KilledRun::Run tst_KilledRun::finish(QProcess &updater)
{
    Run run;
    QSignalSpy finished(&updater, &QProcess::finished);
    if (!updater.waitForStarted() || !(finished.size() > 0 || finished.wait(120000)))
        return run;
    run.killed = updater.exitStatus() == QProcess::CrashExit;
    run.exitCode = run.killed ? -1 : updater.exitCode();
    run.output = QString::fromLocal8Bit(updater.readAll());
    const QRegularExpressionMatch changes
        = QRegularExpression(QStringLiteral("changes (\\d+)")).match(run.output);
    run.changes = changes.hasMatch() ? changes.captured(1).toInt() : -1;
    return run;
}

tst_KilledRun::Run tst_KilledRun::runUpdater(int killAfter)
{
    QProcess updater;
    QProcessEnvironment environment = this->environment();
    if (killAfter >= 0)
        environment.insert(QStringLiteral("ORVI_TEST_KILL_AFTER"), QString::number(killAfter));
    updater.setProcessEnvironment(environment);
    updater.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY), Arguments + QStringList { m_app });
    return finish(updater);
}

void tst_KilledRun::killedAndRestarted_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("killAfter");

    for (const auto &[scenario, points] :
        { std::pair { "install", 4 }, { "rollback", 2 }, { "recovery", 3 } }) {
        freshInstallation();
        offer(QLatin1String(scenario) == QLatin1String("rollback"));
        const Run whole = runUpdater(-1);
        QVERIFY2(whole.changes > 10, scenario);
        for (int i = 0; i < points; ++i) {
            const int k = (i + 1) * whole.changes / (points + 1);
            QTest::addRow("%s, killed after change %d of %d", scenario, k, whole.changes)
                << QString::fromLatin1(scenario) << k;
        }
    }
}

void tst_KilledRun::killedAndRestarted()
{
    QFETCH(QString, scenario);
    QFETCH(int, killAfter);

    freshInstallation();
    offer(scenario == QLatin1String("rollback"));
    QVERIFY(runUpdater(killAfter).killed);
    m_update->withdraw();
    // Killed inside the install, then again half-way through undoing it (a recovery with
    // fewer changes than that simply finishes).
    if (scenario == QLatin1String("recovery")
        && !TestEnvironment::readFile(journal()).contains("completed"))
        runUpdater(qMax(1, killAfter / 2));
    const Snapshot killed = tree();
    const bool completed = TestEnvironment::readFile(journal()).contains("completed")
        || (!QFile::exists(journal()) && killed == m_after);

    const Run next = runUpdater(-1);
    QVERIFY2(next.exitCode == 0, qPrintable(next.output));
    const Snapshot expected = completed ? m_after : m_before;
    const Snapshot after = tree();
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    QVERIFY(!QFile::exists(journal()));
}

void tst_KilledRun::killedWhileApplyingTheDelta_data()
{
    QTest::addColumn<QString>("killAt"); // the path text and which operation on it
    QTest::newRow("unpacking the patches") << QStringLiteral(".patch.:3");
    QTest::newRow("between two patched files") << QStringLiteral(".patch.:10");
    QTest::newRow("placing the descriptor") << QStringLiteral("core.xml:1");
}

// The delta is applied in the download folder only: killed there, the installation is the old
// one untouched, and the next run brings the new one.
void tst_KilledRun::killedWhileApplyingTheDelta()
{
    QFETCH(QString, killAt);

    freshInstallation();
    offer(false, true);
    QProcessEnvironment environment = this->environment();
    environment.insert(QStringLiteral("ORVI_TEST_KILL_AT"), killAt);
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY), Arguments + QStringList { m_app });
    QVERIFY(finish(updater).killed);
    Snapshot killed = tree();
    // A killed run leaves its lock's file; the next run takes it and removes it.
    killed.remove(QStringLiteral(".orvi-update.lock"));
    QVERIFY2(killed == m_before, qPrintable(FolderSnapshot::describeDifference(m_before, killed)));

    updater.setProcessEnvironment(this->environment());
    updater.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY), Arguments + QStringList { m_app });
    QVERIFY(finish(updater).exitCode == 0);
    const Snapshot after = tree();
    QVERIFY2(after == m_after, qPrintable(FolderSnapshot::describeDifference(m_after, after)));
    QVERIFY(m_update->packageRequests().contains(QStringLiteral("GET /core-from-1.zip")));
    QVERIFY(!m_update->packageRequests().contains(QStringLiteral("GET /core.zip")));
}

void tst_KilledRun::secondStartChangesNothing_data()
{
    QTest::addColumn<bool>("relocation");
    QTest::newRow("update run") << false;
    QTest::newRow("relocation start") << true;
}

// A run held in the middle of its install, a second start meanwhile: the second waits, gives
// up with exit code 4 and touches nothing; the first then finishes as if alone.
void tst_KilledRun::secondStartChangesNothing()
{
    QFETCH(bool, relocation);

    freshInstallation();
    offer(false);
    QProcess first;
    QProcessEnvironment firstEnvironment = environment();
    firstEnvironment.insert(
        QStringLiteral("ORVI_TEST_PAUSE_AFTER"), QString::number(m_installChanges / 2));
    first.setProcessEnvironment(firstEnvironment);
    first.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY), Arguments + QStringList { m_app });
    QVERIFY(first.waitForStarted());
#ifdef Q_OS_WIN
    // Waited for with the event loop running, which the servers answer from.
    QSignalSpy arrived(&first, &QProcess::readyReadStandardOutput);
    QByteArray output = first.readAllStandardOutput();
    while (!output.contains("paused") && arrived.wait(60000))
        output += first.readAllStandardOutput();
    QVERIFY2(output.contains("paused"), "the first run ended before the pause");
#else
    const auto isStopped = [&first] {
        const QByteArray stat
            = TestEnvironment::readFile(QStringLiteral("/proc/%1/stat").arg(first.processId()));
        return stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
    };
    QTRY_VERIFY_WITH_TIMEOUT(isStopped() || first.state() == QProcess::NotRunning, 60000);
    QVERIFY2(isStopped(), "the first run ended before the pause");
#endif
    const Snapshot paused = tree();
    const Snapshot scratch = FolderSnapshot::take(m_environment->tempFolder(), true);

    QProcess second;
    second.setProcessEnvironment(environment());
    second.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY),
        relocation ? QStringList { QStringLiteral("-q") } : Arguments + QStringList { m_app });
    QCOMPARE(finish(second).exitCode, Startup::exitAnotherRun);
    QCOMPARE(tree(), paused);
    QCOMPARE(FolderSnapshot::take(m_environment->tempFolder(), true), scratch);

#ifdef Q_OS_WIN
    first.write("\n");
#else
    QVERIFY(::kill(pid_t(first.processId()), SIGCONT) == 0);
#endif
    QCOMPARE(finish(first).exitCode, 0);
    const Snapshot after = tree();
    QVERIFY2(after == m_after, qPrintable(FolderSnapshot::describeDifference(m_after, after)));
}

QTEST_GUILESS_MAIN(tst_KilledRun)
#include "tst_killedrun.moc"
