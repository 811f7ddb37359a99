#include "applicationarguments.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "foldersnapshot.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "updateentry.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Snapshot = QMap<QString, QByteArray>;

/*
 * Targets that another program holds while the updater replaces them: a file opened without
 * sharing its deletion, which Windows will not let anyone rename over, so that the package
 * fails and the run is rolled back; and a running program with a library it loaded, which
 * Windows lets move aside though not be renamed over, so that they are replaced all the same.
 */
class tst_HeldTargets : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void replacedWhileHeld_data();
    void replacedWhileHeld();

private:
    std::unique_ptr<TestEnvironment> m_environment;
    BoxRecorder m_boxes;
};

void tst_HeldTargets::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_boxes.clear();
    m_boxes.setAnswer([](const MessageBoxHandler::Box &box) {
        return box.buttons.testFlag(QMessageBox::Abort) ? QMessageBox::Abort
                                                        : MessageBoxHandler::defaultAnswer(box);
    });
}

void tst_HeldTargets::cleanup()
{
    m_environment.reset();
}

void tst_HeldTargets::replacedWhileHeld_data()
{
    QTest::addColumn<QString>("hold"); // "open": data.txt; "run": tool.exe and a library
    QTest::addColumn<bool>("laterFails");
    QTest::addColumn<bool>("installed");

#ifdef Q_OS_WIN
    QTest::newRow("a file held open without shared deletion: rolled back")
        << QStringLiteral("open") << false << false;
#else
    QTest::newRow("a file held open: Unix has no sharing modes")
        << QStringLiteral("open") << false << true;
#endif
    QTest::newRow("a running program and its library") << QStringLiteral("run") << false << true;
    QTest::newRow("a running program and its library, rolled back")
        << QStringLiteral("run") << true << false;
}

void tst_HeldTargets::replacedWhileHeld()
{
    QFETCH(QString, hold);
    QFETCH(bool, laterFails);
    QFETCH(bool, installed);

    const QString app = m_environment->root() + QStringLiteral("/app");
    const QString tool = app + QStringLiteral("/tool.exe");
    QVERIFY(TestEnvironment::writeFile(app + QStringLiteral("/orvi7.exe"), "main"));
    QVERIFY(TestEnvironment::writeFile(app + QStringLiteral("/data.txt"), "data 1"));
    QVERIFY(QFile::copy(QStringLiteral(ORVI_FILE_HOLDER_BINARY), tool));
    QStringList holds { QStringLiteral("open"), app + QStringLiteral("/data.txt") };
#ifdef Q_OS_WIN
    QVERIFY(QDir().mkpath(app + QStringLiteral("/lib")));
    QVERIFY(QFile::copy(QStringLiteral(ORVI_DEPLOY_DIR "/libwinpthread-1.dll"),
        app + QStringLiteral("/lib/helper.dll")));
    if (hold == QLatin1String("run"))
        holds = QStringList { QStringLiteral("load"), app + QStringLiteral("/lib/helper.dll") };
#endif
    QProcess holder;
    holder.start(
        hold == QLatin1String("run") ? tool : QStringLiteral(ORVI_FILE_HOLDER_BINARY), holds);
    QVERIFY2(holder.waitForStarted(), qPrintable(holder.errorString()));
    QByteArray said = holder.readAllStandardOutput();
    while (!said.contains("held") && holder.waitForReadyRead(30000))
        said += holder.readAllStandardOutput();
    QVERIFY2(said.contains("held"), holder.readAllStandardError().constData());

    TestPackage core;
    core.addFile(QString(), QStringLiteral("data.txt"), "data 2")
        .addFile(QString(), QStringLiteral("tool.exe"), "tool 2")
        .addFile(QStringLiteral("lib"), QStringLiteral("helper.dll"), "helper 2")
        .addFile(QString(), QStringLiteral("new.txt"), "new")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    TestPackage extra;
    extra
        .addPackageElement(QStringLiteral("orvi"), QStringLiteral("extra"),
            laterFails ? QStringLiteral("plugin") : QStringLiteral("app"))
        .addFile(QString(), QStringLiteral("extra.dat"), "extra")
        .addDescriptorEntry(QStringLiteral("extra.xml"));
    ApplicationArguments::set(
        { QStringLiteral("/x/updater"), QStringLiteral("-u"), QStringLiteral("-root"), app });
    EngineSettings settings;
    settings.appRoot = app;
    OrviUpdaterEngine engine(settings);
    QVERIFY(core.write(engine.downloadFolder() + QStringLiteral("core.zip")));
    QVERIFY(extra.write(engine.downloadFolder() + QStringLiteral("extra.zip")));
    engine.adoptUpdates(
        { EntryBuilder().name("core").make(), EntryBuilder().name("extra").make() });
    const Snapshot before = FolderSnapshot::take(app);

    engine.installUpdates();

    const Snapshot after = FolderSnapshot::take(app);
    QCOMPARE(engine.installSucceeded(), installed);
    if (installed) {
        QCOMPARE(TestEnvironment::readFile(tool), QByteArray("tool 2"));
        QCOMPARE(TestEnvironment::readFile(app + QStringLiteral("/lib/helper.dll")),
            QByteArray("helper 2"));
        QCOMPARE(
            TestEnvironment::readFile(app + QStringLiteral("/data.txt")), QByteArray("data 2"));
        QVERIFY(m_boxes.boxes().isEmpty());
    } else {
        QCOMPARE(engine.installOutcome(), InstallationRun::Outcome::RolledBack);
        QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
        QCOMPARE(engine.details(), QStringLiteral("An error occured while installing updates"));
        const QString failing = laterFails ? QStringLiteral("extra") : QStringLiteral("core");
        QVERIFY(!m_boxes.boxes().isEmpty());
        const QString warning = m_boxes.boxes().constLast().text;
        QVERIFY2(warning.startsWith(QStringLiteral("Failed installing package ") + failing),
            qPrintable(warning));
        // The box before the warning says which file could not be replaced.
        if (!laterFails) {
            QCOMPARE(m_boxes.boxes().size(), 2);
            const QString error = m_boxes.boxes().constFirst().text;
            QVERIFY2(error.contains(QStringLiteral("data.txt")), qPrintable(error));
        }
    }
    // The holder never noticed: it still runs, and ends when told.
    QCOMPARE(holder.state(), QProcess::Running);
    holder.write("\n");
    QSignalSpy finished(&holder, &QProcess::finished);
    QVERIFY(finished.wait(30000));
    QCOMPARE(holder.exitCode(), 0);
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_HeldTargets)
#include "tst_heldtargets.moc"
