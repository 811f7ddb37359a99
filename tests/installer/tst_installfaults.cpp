#include "applicationarguments.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "filesystem.h"
#include "foldersnapshot.h"
#include "installationjournal.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "runmarker.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "updateentry.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>

#include <cerrno>
#include <memory>

using Snapshot = QMap<QString, QByteArray>;

namespace {
// A payload that deflate stores as it is, so that its bytes can be found in the archive.
QByteArray incompressible()
{
    QByteArray bytes(4096, '\0');
    QRandomGenerator generator(15);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

const char *operationName(FileSystem::Operation operation)
{
    static const char *const names[] = { "open", "write", "close", "rename", "link", "unlink",
        "mkdir", "rmdir", "chmod", "copy", "fsync" };
    return names[int(operation)];
}
} // namespace

/*
 * An installation of two packages that fails in every way the file system can make it fail,
 * and in the ways packages and other users did: each time the application folder must end
 * exactly as it was or exactly as the complete update makes it, and the result must say which.
 */
class tst_InstallFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void everyOperationFails_data();
    void everyOperationFails();
    void measuredFaults_data();
    void measuredFaults();
    void acrossFileSystems_data();
    void acrossFileSystems();

private:
    void prepare();
    void writePackages(bool secondFails);
    void run();
    bool updatedTree(Snapshot *updated);
    static UpdateEntry *entry(const std::string &name);

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    QString m_root;
    BoxRecorder m_recorder;
    const QList<MessageBoxHandler::Box> &m_boxes = m_recorder.boxes();
};

void tst_InstallFaults::init()
{
    m_recorder.clear();
    m_recorder.setAnswer([](const MessageBoxHandler::Box &box) {
        return box.icon == QMessageBox::Warning ? QMessageBox::Abort
                                                : MessageBoxHandler::defaultAnswer(box);
    });
}

void tst_InstallFaults::cleanup()
{
    FileSystem::setFaultInjector(nullptr);
    m_engine.reset();
    m_environment.reset();
}

UpdateEntry *tst_InstallFaults::entry(const std::string &name)
{
    return EntryBuilder().name(name).make();
}

// The tree before: files that the packages replace, remove, keep, and one that becomes a folder.
void tst_InstallFaults::prepare()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    QVERIFY(m_environment->confineDownloadFolder());
    m_root = m_environment->root() + QStringLiteral("/app");
    for (const auto &[name, contents] :
        { std::pair { "orvi7.exe", "main" }, { "a.dll", "old a" }, { "old.txt", "old" },
            { "y", "file y" }, { "keep.txt", "keep" }, { "lib/l.dll", "old l" } })
        QVERIFY(
            TestEnvironment::writeFile(m_root + QLatin1Char('/') + QLatin1String(name), contents));
    QVERIFY(QFile::setPermissions(m_root + QStringLiteral("/keep.txt"),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    ApplicationArguments::set(
        { QStringLiteral("/x/updater"), QStringLiteral("-u"), QStringLiteral("-root"), m_root });
    EngineSettings settings;
    settings.appRoot = m_root;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
}

void tst_InstallFaults::writePackages(bool secondFails)
{
    TestPackage first;
    first.addFile(QString(), QStringLiteral("a.dll"), "a 1")
        .addFileElement(QString(), QStringLiteral("old.txt"), QStringLiteral("remove"))
        .addFileElement(QString(), QStringLiteral("y"), QStringLiteral("remove"))
        .addFile(QStringLiteral("y"), QStringLiteral("z.dll"), "z")
        .addFile(QStringLiteral("new/deep"), QStringLiteral("n.dll"), "n")
        .addFile(QStringLiteral("lib"), QStringLiteral("l.dll"), "l 1")
        .addDescriptorEntry(QStringLiteral("P1.xml"));
    TestPackage second;
    second
        .addPackageElement(QStringLiteral("orvi"), QStringLiteral("P2"),
            secondFails ? QStringLiteral("plugin") : QStringLiteral("app"))
        .addFile(QString(), QStringLiteral("a.dll"), "a 2")
        .addFile(QString(), QStringLiteral("b.dll"), "b")
        .addDescriptorEntry(QStringLiteral("P2.xml"));
    QVERIFY(first.write(m_engine->downloadFolder() + QStringLiteral("P1.zip")));
    QVERIFY(second.write(m_engine->downloadFolder() + QStringLiteral("P2.zip")));
    m_engine->adoptUpdates({ entry("P1"), entry("P2") });
}

void tst_InstallFaults::run()
{
    m_engine->installUpdates();
}

// The complete update, as a clean run leaves it; the next run starts afresh.
bool tst_InstallFaults::updatedTree(Snapshot *updated)
{
    prepare();
    writePackages(false);
    run();
    const bool succeeded = m_engine->installSucceeded();
    *updated = FolderSnapshot::take(m_root, true);
    cleanup();
    init();
    return succeeded;
}

void tst_InstallFaults::everyOperationFails_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("failing");

    // One clean run lists the operations; each row then fails one of them.
    QStringList operations;
    {
        prepare();
        writePackages(false);
        FileSystem::setFaultInjector(
            [&](FileSystem::Operation operation, const QString &path, const QString &) {
                operations << QLatin1String(operationName(operation)) + QLatin1Char(' ')
                        + QDir(m_environment->root()).relativeFilePath(path);
                return 0;
            });
        run();
        cleanup();
    }
    QVERIFY(operations.size() > 40);
    // EPERM where a link is asked for: the file system cannot link, so a copy stands in.
    for (const int error : { ENOSPC, EIO, EACCES, EPERM }) {
        for (int i = 0; i < operations.size(); ++i)
            QTest::addRow("%s at %d: %s", qPrintable(QString::fromLocal8Bit(strerror(error))), i,
                qPrintable(operations.at(i)))
                << error << i;
    }
}

void tst_InstallFaults::everyOperationFails()
{
    QFETCH(int, error);
    QFETCH(int, failing);

    Snapshot updated;
    QVERIFY(updatedTree(&updated));

    prepare();
    writePackages(false);
    const Snapshot before = FolderSnapshot::take(m_root, true);
    int count = 0;
    QString hit;
    FileSystem::setFaultInjector(
        [&](FileSystem::Operation operation, const QString &path, const QString &) {
            if (count++ != failing)
                return 0;
            hit = QLatin1String(operationName(operation)) + QLatin1Char(' ') + path;
            return error;
        });
    run();
    FileSystem::setFaultInjector(nullptr);

    QVERIFY(!hit.isEmpty());
    QVERIFY(m_engine->installOutcome() != InstallationRun::Outcome::RollbackFailed);
    Snapshot after = FolderSnapshot::take(m_root, true);
    // A run's mark that cannot be removed stays; this user's next start drops it.
    if (hit == QStringLiteral("unlink ") + RunMarker::path(m_root))
        after.remove(QStringLiteral(".orvi-update-running"));
    if (m_engine->installSucceeded())
        QVERIFY2(after == updated, qPrintable(FolderSnapshot::describeDifference(updated, after)));
    else
        QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
    // Nothing is left for the next start to undo.
    QVERIFY(InstallationJournal::state(m_engine->downloadFolder())
        != InstallationJournal::State::Unfinished);
}

void tst_InstallFaults::acrossFileSystems_data()
{
    QTest::addColumn<bool>("secondFails");
    QTest::newRow("completed") << false;
    QTest::newRow("rolled back") << true;
}

void tst_InstallFaults::acrossFileSystems()
{
    QFETCH(bool, secondFails);

    Snapshot updated;
    QVERIFY(updatedTree(&updated));

    // Renames and links between the download folder and the root fail as across devices.
    prepare();
    writePackages(secondFails);
    const Snapshot before = FolderSnapshot::take(m_root, true);
    const QString download = QDir::cleanPath(m_engine->downloadFolder());
    int crossings = 0;
    FileSystem::setFaultInjector([&](FileSystem::Operation operation, const QString &from,
                                     const QString &to) {
        if (operation != FileSystem::Operation::Rename && operation != FileSystem::Operation::Link)
            return 0;
        if (from.startsWith(download) == QDir::cleanPath(to).startsWith(download))
            return 0;
        ++crossings;
        return EXDEV;
    });
    run();
    FileSystem::setFaultInjector(nullptr);

    QVERIFY(crossings > 5);
    QCOMPARE(m_engine->installSucceeded(), !secondFails);
    const Snapshot &expected = secondFails ? before : updated;
    const Snapshot after = FolderSnapshot::take(m_root, true);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    QVERIFY(InstallationJournal::state(m_engine->downloadFolder())
        != InstallationJournal::State::Unfinished);
}

void tst_InstallFaults::measuredFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");

    QTest::newRow("a file that became a folder, rolled back")
        << QStringLiteral("folder") << QStringLiteral("Wrong type!");
    QTest::newRow("entry under unwind/")
        << QStringLiteral("unwind") << QStringLiteral("Cannot extract update file (unwind/a.dll)!");
    QTest::newRow("stale backup of an earlier run")
        << QStringLiteral("stale") << QStringLiteral("Wrong type!");
#ifndef Q_OS_WIN
    // Symbolic links (Windows' shortcut files are plain files to the updater).
    QTest::newRow("package folder is a link") << QStringLiteral("package link") << QString();
    QTest::newRow("folder of the root is a link")
        << QStringLiteral("root link") << QStringLiteral("lies outside the destination folder");
#endif
    QTest::newRow("file element without a name")
        << QStringLiteral("empty name") << QStringLiteral("names a folder or no file at all");
    QTest::newRow("short write") << QStringLiteral("short write")
                                 << QString::fromLocal8Bit(strerror(ENOSPC));
    QTest::newRow("checksum mismatch")
        << QStringLiteral("crc") << QStringLiteral("Cannot read file from archive!");
}

void tst_InstallFaults::measuredFaults()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);

    prepare();
    writePackages(fault == QLatin1String("folder") || fault == QLatin1String("stale"));
    const QString download = m_engine->downloadFolder();
    const QString outside = m_environment->root() + QStringLiteral("/outside");
    QVERIFY(TestEnvironment::writeFile(outside + QStringLiteral("/mine.txt"), "mine"));
    const Snapshot outsideBefore = FolderSnapshot::take(outside, true);

    if (fault == QLatin1String("unwind") || fault == QLatin1String("empty name")
        || fault == QLatin1String("crc")) {
        TestPackage package;
        if (fault == QLatin1String("unwind"))
            package.addEntry("unwind/a.dll", "not a backup");
        if (fault == QLatin1String("empty name"))
            package.addFileElement(QStringLiteral("lib"), QString(), QStringLiteral("add"));
        package.addFile(QString(), QStringLiteral("c.dll"),
            fault == QLatin1String("crc") ? incompressible() : QByteArray("c"));
        package.addDescriptorEntry(QStringLiteral("P2.xml"));
        QVERIFY(package.write(download + QStringLiteral("P2.zip")));
        if (fault == QLatin1String("crc")) {
            QFile archive(download + QStringLiteral("P2.zip"));
            QVERIFY(archive.open(QIODevice::ReadWrite));
            QByteArray bytes = archive.readAll();
            const qsizetype at = bytes.indexOf(incompressible().mid(2000, 64));
            QVERIFY(at > 0);
            bytes[at] = char(bytes.at(at) ^ 0x55);
            QVERIFY(archive.seek(0));
            QCOMPARE(archive.write(bytes), bytes.size());
        }
    } else if (fault == QLatin1String("stale")) {
        QVERIFY(TestEnvironment::writeFile(download + QStringLiteral("P1/unwind/a.dll"), "stale"));
    } else if (fault == QLatin1String("package link")) {
        QVERIFY(QFile::link(outside, download + QStringLiteral("P1")));
    } else if (fault == QLatin1String("root link")) {
        QVERIFY(QDir(m_root).removeRecursively() && QDir().mkpath(m_root));
        QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/orvi7.exe"), "main"));
        QVERIFY(QFile::link(outside, m_root + QStringLiteral("/lib")));
    } else if (fault == QLatin1String("short write")) {
        FileSystem::setFaultInjector(
            [](FileSystem::Operation operation, const QString &path, const QString &) {
                return operation == FileSystem::Operation::Write
                        && path.endsWith(QLatin1String("b.dll"))
                    ? ENOSPC
                    : 0;
            });
    }
    const Snapshot before = FolderSnapshot::take(m_root, true);

    run();
    FileSystem::setFaultInjector(nullptr);

    const Snapshot after = FolderSnapshot::take(m_root, true);
    QCOMPARE(FolderSnapshot::take(outside, true), outsideBefore);
    if (message.isEmpty()) {
        QVERIFY(m_engine->installSucceeded());
        QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/b.dll")), QByteArray("b"));
        return;
    }
    QVERIFY(!m_engine->installSucceeded());
    QCOMPARE(m_engine->installOutcome(), InstallationRun::Outcome::RolledBack);
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
    QVERIFY(!m_boxes.isEmpty());
    QVERIFY2(m_boxes.first().text.contains(message), qPrintable(m_boxes.first().text));
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_InstallFaults)
#include "tst_installfaults.moc"
