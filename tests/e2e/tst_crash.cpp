#include "applicationfolder.h"
#include "foldersnapshot.h"
#include "nginxserver.h"
#include "packagesignature.h"
#include "startup.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "testsigning.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using Snapshot = QMap<QString, QByteArray>;

/*
 * The real updater, killed with SIGKILL after its k-th change to the application folder, for
 * k spread over the whole run: inside an installation of three packages, inside the rollback
 * of a run whose last package fails, and inside the recovery of an interrupted run. The next
 * start must leave exactly the tree before the update when the kill came before the run's
 * completion record, and exactly the complete new tree after it. ORVI_CRASH_POINTS sets the
 * number of kills per case (4 here, 12 in all; the long run in bench/crash uses 40). The
 * packages come from private nginx servers, processes of their own, since the test blocks
 * while each updater runs; one per catalogue, as the updater stores a package under its link's
 * path and so needs it at the server's root.
 */
class tst_Crash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void killedAndRestarted_data();
    void killedAndRestarted();
    void secondStartChangesNothing_data();
    void secondStartChangesNothing();
    void startedTogether();
    void anotherUsersInterruptedRunIsRefused();

private:
    struct Run
    {
        int exitCode = -1;
        bool killed = false;
        int changes = -1;
    };

    void writeCatalogue(const QString &folder, bool lastFails);
    quint16 startServer(QProcess *server, const QString &catalogue, const QString &baseUrl);
    void freshInstallation();
    QProcessEnvironment environment(quint16 port) const;
    Run finish(QProcess &updater) const;
    Run runUpdater(quint16 port, int killAfter);
    QString otherCache() const { return m_environment->root() + QStringLiteral("/other-cache"); }
    /// Makes program and arguments start as another user with a cache of its own.
    bool asOtherUser(QString *program, QStringList *arguments, QProcessEnvironment *environment);
    Snapshot tree() const { return FolderSnapshot::take(m_app, true); }

    std::unique_ptr<TestEnvironment> m_environment;
    QString m_app;
    QString m_template;
    Snapshot m_before;
    Snapshot m_after;
    NginxServer m_goodPackages;
    NginxServer m_failingPackages;
    // The update servers' TLS front, as the publisher runs it.
    NginxServer m_queries;
    QProcess m_goodServer;
    QProcess m_failingServer;
    QProcess m_emptyServer;
    quint16 m_goodPort = 0;
    quint16 m_failingPort = 0;
    quint16 m_emptyPort = 0;
    int m_inside = 0;
    int m_kills = 0;
    int m_installChanges = 0;
};

namespace {
const QStringList UpdateSwitches { QStringLiteral("-u"), QStringLiteral("-q") };
// A uid and gid no account has: another local user, without adding one to the machine.
constexpr uid_t OtherUser = 48123;

bool isStopped(qint64 pid)
{
    const QByteArray stat = TestEnvironment::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
}
} // namespace

void tst_Crash::writeCatalogue(const QString &folder, bool lastFails)
{
    const QString names[]
        = { QStringLiteral("core"), QStringLiteral("lang"), QStringLiteral("extra") };
    TestPackage core;
    // Hundreds of files replaced, removed and added; a file that becomes a folder; the file
    // that says which version is installed.
    for (int i = 0; i < 150; ++i)
        core.addFile(QStringLiteral("lib"), QStringLiteral("f%1.dll").arg(i),
            QByteArray("core 2 ") + QByteArray::number(i));
    for (int i = 150; i < 200; ++i)
        core.addFileElement(
            QStringLiteral("lib"), QStringLiteral("f%1.dll").arg(i), QStringLiteral("remove"));
    for (int i = 0; i < 100; ++i)
        core.addFile(QStringLiteral("new/sub%1").arg(i % 4), QStringLiteral("n%1.dat").arg(i),
            QByteArray("new ") + QByteArray::number(i));
    core.addFileElement(QString(), QStringLiteral("y"), QStringLiteral("remove"))
        .addFile(QStringLiteral("y"), QStringLiteral("z.dll"), "z")
        .addFile(QString(), QStringLiteral("shared.dll"), "shared from core")
        .addFile(QString(), QStringLiteral("components"),
            "orvi core app 2\norvi lang app 2\norvi extra app 2\n")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    TestPackage lang;
    for (int i = 0; i < 60; ++i)
        lang.addFile(QStringLiteral("lang"), QStringLiteral("l%1.qm").arg(i),
            QByteArray("lang 2 ") + QByteArray::number(i));
    lang.addFile(QString(), QStringLiteral("shared.dll"), "shared from lang")
        .addDescriptorEntry(QStringLiteral("lang.xml"));
    TestPackage extra;
    extra.addPackageElement(QStringLiteral("orvi"), QStringLiteral("extra"),
        lastFails ? QStringLiteral("plugin") : QStringLiteral("app"));
    for (int i = 0; i < 40; ++i)
        extra.addFile(QStringLiteral("extra"), QStringLiteral("e%1.bin").arg(i), "extra");
    extra.addDescriptorEntry(QStringLiteral("extra.xml"));
    const TestPackage *packages[] = { &core, &lang, &extra };

    QByteArray index = "<catalogue>\n";
    for (int i = 0; i < 3; ++i) {
        const QString file = names[i] + QStringLiteral(".zip");
        QVERIFY(packages[i]->write(folder + QLatin1Char('/') + file));
        QVERIFY(!TestSigning::sign(folder + QLatin1Char('/') + file,
            TrustedComment { "orvi", names[i].toUtf8(), "app", "2", file.toUtf8() }.toText())
                     .isEmpty());
        index += "<component project=\"orvi\" name=\"" + names[i].toUtf8()
            + "\" type=\"app\"><version>2</version><package>" + names[i].toUtf8()
            + ".zip</package></component>\n";
    }
    index += "</catalogue>\n";
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("/index.xml"), index));
}

quint16 tst_Crash::startServer(QProcess *server, const QString &catalogue, const QString &baseUrl)
{
    server->setProcessChannelMode(QProcess::SeparateChannels);
    server->start(QStringLiteral(ORVI_UPDATE_SERVER_BINARY),
        QStringList { QStringLiteral("--catalogue"), catalogue, QStringLiteral("--update-port"),
            QStringLiteral("0"), QStringLiteral("--base-url"), baseUrl, QStringLiteral("--bind"),
            QStringLiteral("127.0.0.1"),
            // Behind nginx every client has nginx's address; nginx limits per address instead.
            QStringLiteral("--max-connections-per-address"), QStringLiteral("0") }
            + TestSigning::serverOptions(m_environment->root()));
    if (!server->waitForStarted())
        return 0;
    QByteArray output;
    static const QRegularExpression port(QStringLiteral("update port (\\d+)"));
    while (!output.contains('\n') && server->waitForReadyRead(10000))
        output += server->readAllStandardOutput();
    return quint16(port.match(QString::fromLatin1(output)).captured(1).toUInt());
}

void tst_Crash::initTestCase()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    const QString root = m_environment->root();
    m_template = root + QStringLiteral("/template");
    for (int i = 0; i < 200; ++i)
        QVERIFY(TestEnvironment::writeFile(m_template + QStringLiteral("/lib/f%1.dll").arg(i),
            QByteArray("core 1 ") + QByteArray::number(i)));
    QVERIFY(TestEnvironment::writeFile(m_template + QStringLiteral("/y"), "y was a file"));
    QVERIFY(TestEnvironment::writeFile(m_template + QStringLiteral("/shared.dll"), "shared 1"));
    QVERIFY(TestEnvironment::writeFile(m_template + QStringLiteral("/components"),
        "orvi core app 1\norvi lang app 1\norvi extra app 1\n"));
    QVERIFY(ApplicationFolder::makeWithSample(m_template));

    const QString good = root + QStringLiteral("/catalogue-good");
    const QString failing = root + QStringLiteral("/catalogue-failing");
    const QString empty = root + QStringLiteral("/catalogue-empty");
    writeCatalogue(good, false);
    writeCatalogue(failing, true);
    QVERIFY(TestEnvironment::writeFile(empty + QStringLiteral("/index.xml"), "<catalogue/>"));
    QVERIFY2(NginxServer::isInstalled(), "nginx is missing (scripts/install-deps.sh installs it)");
    QVERIFY2(m_goodPackages.start(good), m_goodPackages.errorLog().constData());
    QVERIFY2(m_failingPackages.start(failing), m_failingPackages.errorLog().constData());
    m_goodPort = startServer(&m_goodServer, good, m_goodPackages.url(QString()));
    m_failingPort = startServer(&m_failingServer, failing, m_failingPackages.url(QString()));
    // Offers nothing, so its links lead nowhere.
    m_emptyPort = startServer(&m_emptyServer, empty, m_goodPackages.url(QString()));
    QVERIFY(m_goodPort && m_failingPort && m_emptyPort);
    // A staging build (ORVI_UNSIGNED_PACKAGES) queries the servers over plain TCP, directly.
    if (!PackageSignature::unsignedPackagesAllowed()) {
        QVERIFY2(m_queries.startTlsFront({ m_goodPort, m_failingPort, m_emptyPort }),
            m_queries.errorLog().constData());
        m_goodPort = m_queries.frontPort(0);
        m_failingPort = m_queries.frontPort(1);
        m_emptyPort = m_queries.frontPort(2);
    }

    m_app = root + QStringLiteral("/Orvi Messenger");
    freshInstallation();
    m_before = tree();
    const Run clean = runUpdater(m_goodPort, -1);
    QCOMPARE(clean.exitCode, 0);
    m_installChanges = clean.changes;
    m_after = tree();
    QVERIFY(m_after != m_before);
    QCOMPARE(TestEnvironment::readFile(m_app + QStringLiteral("/shared.dll")),
        QByteArray("shared from lang"));
    QCOMPARE(m_after.value(QStringLiteral("y")), QByteArray("<dir>"));
}

void tst_Crash::cleanupTestCase()
{
    if (m_kills > 0)
        // Printed also with -silent, for the long run's figures.
        std::printf("kills that landed inside the work: %d of %d (%d %%)\n", m_inside, m_kills,
            100 * m_inside / m_kills);
    for (QProcess *server : { &m_goodServer, &m_failingServer, &m_emptyServer }) {
        server->terminate();
        server->waitForFinished(10000);
    }
    m_queries.stop();
    m_goodPackages.stop();
    m_failingPackages.stop();
    m_environment.reset();
}

void tst_Crash::freshInstallation()
{
    QDir(m_app).removeRecursively();
    QDir(m_environment->cacheHome()).removeRecursively();
    QDir().mkpath(m_app);
    QDirIterator files(m_template, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        const QString copy = m_app + QLatin1Char('/') + QDir(m_template).relativeFilePath(file);
        QDir().mkpath(QFileInfo(copy).path());
        QFile::copy(file, copy);
    }
}

QProcessEnvironment tst_Crash::environment(quint16 port) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_environment->cacheHome());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(
        QStringLiteral("ORVI_UPDATE_SERVER"), QStringLiteral("127.0.0.1:%1").arg(port));
    environment.insert(QStringLiteral("ORVI_TEST_LOCK_TIMEOUT"), QStringLiteral("300"));
    return environment;
}

tst_Crash::Run tst_Crash::runUpdater(quint16 port, int killAfter)
{
    QProcess updater;
    QProcessEnvironment environment = this->environment(port);
    if (killAfter >= 0)
        environment.insert(QStringLiteral("ORVI_TEST_KILL_AFTER"), QString::number(killAfter));
    updater.setProcessEnvironment(environment);
    updater.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY),
        UpdateSwitches + QStringList { QStringLiteral("-root"), m_app });
    return finish(updater);
}

tst_Crash::Run tst_Crash::finish(QProcess &updater) const
{
    Run run;
    if (!updater.waitForStarted() || !updater.waitForFinished(120000))
        return run;
    run.killed = updater.exitStatus() == QProcess::CrashExit;
    run.exitCode = run.killed ? -1 : updater.exitCode();
    const QRegularExpressionMatch changes = QRegularExpression(QStringLiteral("changes (\\d+)"))
                                                .match(QString::fromLatin1(updater.readAll()));
    run.changes = changes.hasMatch() ? changes.captured(1).toInt() : -1;
    return run;
}

void tst_Crash::killedAndRestarted_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("killAfter");

    const int points = qEnvironmentVariableIntValue("ORVI_CRASH_POINTS") > 0
        ? qEnvironmentVariableIntValue("ORVI_CRASH_POINTS")
        : 4;
    // The number of changes each kind of run makes, from one run left alone.
    for (const QString &scenario :
        { QStringLiteral("install"), QStringLiteral("rollback"), QStringLiteral("recovery") }) {
        freshInstallation();
        const bool failing = scenario == QLatin1String("rollback");
        const Run whole = runUpdater(failing ? m_failingPort : m_goodPort, -1);
        QVERIFY2(whole.changes > 10, qPrintable(scenario));
        for (int i = 0; i < points; ++i) {
            const int k = 1 + int(qint64(i) * (whole.changes - 2) / qMax(1, points - 1));
            QTest::addRow(
                "%s, killed after change %d of %d", qPrintable(scenario), k, whole.changes)
                << scenario << k;
        }
    }
}

void tst_Crash::killedAndRestarted()
{
    QFETCH(QString, scenario);
    QFETCH(int, killAfter);

    freshInstallation();
    const QString journal
        = m_environment->cacheHome() + QStringLiteral("/orvi-updater/tupdates/journal");
    const bool failing = scenario == QLatin1String("rollback");
    Run run = runUpdater(failing ? m_failingPort : m_goodPort, killAfter);
    QVERIFY(run.killed);
    // Killed inside the install, then again half-way through undoing it (a recovery with
    // fewer changes than that simply finishes).
    if (scenario == QLatin1String("recovery")
        && !TestEnvironment::readFile(journal).contains("completed"))
        runUpdater(m_emptyPort, qMax(1, killAfter / 2));
    Snapshot killed = tree();
    // A killed run leaves its lock file, which belongs to no version and goes with the next run.
    killed.remove(QStringLiteral(".orvi-update.lock"));
    // A file there before and after the run is there at every instant in between.
    for (auto file = m_before.cbegin(); file != m_before.cend(); ++file) {
        if (file.value() != "<dir>" && m_after.value(file.key(), "<dir>") != "<dir>")
            QVERIFY2(killed.value(file.key(), "<dir>") != "<dir>", qPrintable(file.key()));
    }
    const bool completed = TestEnvironment::readFile(journal).contains("completed")
        || (!QFile::exists(journal) && killed == m_after);
    ++m_kills;
    if (killed != m_before && killed != m_after)
        ++m_inside;

    const Run next = runUpdater(m_emptyPort, -1);
    QCOMPARE(next.exitCode, 0);
    const Snapshot expected = completed ? m_after : m_before;
    const Snapshot after = tree();
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    QVERIFY(!QFile::exists(journal));
}

void tst_Crash::secondStartChangesNothing_data()
{
    QTest::addColumn<int>("pauseAfter");
    QTest::addColumn<QString>("second");

    for (const int k : { 0, 1, m_installChanges / 2, m_installChanges - 2 })
        QTest::addRow("update run, first paused after change %d of %d", k, m_installChanges)
            << k << QStringLiteral("update");
    QTest::newRow("relocation start") << m_installChanges / 2 << QStringLiteral("relocation");
    QTest::newRow("another user's update run")
        << m_installChanges / 2 << QStringLiteral("other user");
}

// A run stopped in the middle of its install, a second start meanwhile: the second waits,
// gives up with exit code 4 and touches nothing; the first then finishes as if alone.
void tst_Crash::secondStartChangesNothing()
{
    QFETCH(int, pauseAfter);
    QFETCH(QString, second);
    const bool otherUser = second == QLatin1String("other user");
    if (otherUser && ::geteuid() != 0)
        QSKIP("another user's start needs root to change its uid");

    freshInstallation();
    QProcess first;
    QProcessEnvironment firstEnvironment = environment(m_goodPort);
    firstEnvironment.insert(QStringLiteral("ORVI_TEST_PAUSE_AFTER"), QString::number(pauseAfter));
    first.setProcessEnvironment(firstEnvironment);
    first.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY),
        UpdateSwitches + QStringList { QStringLiteral("-root"), m_app });
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        isStopped(first.processId()) || first.state() == QProcess::NotRunning, 60000);
    QVERIFY2(isStopped(first.processId()), "the first run ended before the pause");
    const Snapshot paused = tree();
    const Snapshot cache = FolderSnapshot::take(m_environment->cacheHome(), true);

    QProcess updater;
    QProcessEnvironment secondEnvironment = environment(m_goodPort);
    QString program = QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY);
    QStringList arguments = UpdateSwitches + QStringList { QStringLiteral("-root"), m_app };
    if (second == QLatin1String("relocation"))
        arguments = QStringList { QStringLiteral("-q") };
    if (otherUser)
        QVERIFY(asOtherUser(&program, &arguments, &secondEnvironment));
    updater.setProcessEnvironment(secondEnvironment);
    updater.start(program, arguments);
    const Run blocked = finish(updater);
    QCOMPARE(blocked.exitCode, Startup::exitAnotherRun);
    QCOMPARE(tree(), paused);
    QCOMPARE(FolderSnapshot::take(m_environment->cacheHome(), true), cache);
    if (otherUser)
        QVERIFY(QDir(otherCache() + QStringLiteral("/orvi-updater/tupdates")).isEmpty());

    QVERIFY(::kill(pid_t(first.processId()), SIGCONT) == 0);
    const Run resumed = finish(first);
    QCOMPARE(resumed.exitCode, 0);
    const Snapshot after = tree();
    QVERIFY2(after == m_after, qPrintable(FolderSnapshot::describeDifference(m_after, after)));
}

bool tst_Crash::asOtherUser(
    QString *program, QStringList *arguments, QProcessEnvironment *environment)
{
    // The folders on the way to the installation are open to every user, as real ones are.
    for (const QString &folder : { m_environment->root(), m_app }) {
        if (::chmod(QFile::encodeName(folder).constData(), 0755) != 0)
            return false;
    }
    if (!QDir().mkpath(otherCache())
        || ::chown(QFile::encodeName(otherCache()).constData(), OtherUser, OtherUser) != 0)
        return false;
    environment->insert(QStringLiteral("XDG_CACHE_HOME"), otherCache());
    *arguments = QStringList { QStringLiteral("--reuid=%1").arg(OtherUser),
        QStringLiteral("--regid=%1").arg(OtherUser), QStringLiteral("--clear-groups"), *program }
        + *arguments;
    *program = QStringLiteral("setpriv");
    return true;
}

// Killed half-way, a run of one user leaves its mark: another user's start refuses and changes
// nothing; the first user's next start restores the folder and drops the mark.
void tst_Crash::anotherUsersInterruptedRunIsRefused()
{
    if (::geteuid() != 0)
        QSKIP("another user's start needs root to change its uid");
    freshInstallation();
    QVERIFY(runUpdater(m_goodPort, m_installChanges / 2).killed);
    const Snapshot killed = tree();
    QVERIFY(killed.contains(QStringLiteral(".orvi-update-running")));

    QProcess other;
    QString program = QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY);
    QStringList arguments = UpdateSwitches + QStringList { QStringLiteral("-root"), m_app };
    QProcessEnvironment environment = this->environment(m_goodPort);
    QVERIFY(asOtherUser(&program, &arguments, &environment));
    other.setProcessEnvironment(environment);
    other.start(program, arguments);
    QCOMPARE(finish(other).exitCode, Startup::exitAnotherRun);
    QCOMPARE(tree(), killed);

    QCOMPARE(runUpdater(m_emptyPort, -1).exitCode, 0);
    const Snapshot after = tree();
    QVERIFY2(after == m_before, qPrintable(FolderSnapshot::describeDifference(m_before, after)));
}

// Two starts at the same instant: whichever runs, the tree ends exactly new.
void tst_Crash::startedTogether()
{
    freshInstallation();
    QProcess updaters[2];
    for (QProcess &updater : updaters) {
        updater.setProcessEnvironment(environment(m_goodPort));
        updater.start(QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY),
            UpdateSwitches + QStringList { QStringLiteral("-root"), m_app });
    }
    QList<int> codes;
    for (QProcess &updater : updaters)
        codes << finish(updater).exitCode;
    std::sort(codes.begin(), codes.end());
    QVERIFY2(codes == QList<int>({ 0, 0 }) || codes == QList<int>({ 0, Startup::exitAnotherRun }),
        qPrintable(QStringLiteral("exit codes %1, %2").arg(codes.at(0)).arg(codes.at(1))));
    const Snapshot after = tree();
    QVERIFY2(after == m_after, qPrintable(FolderSnapshot::describeDifference(m_after, after)));
}

QTEST_GUILESS_MAIN(tst_Crash)
#include "tst_crash.moc"
