#include "applicationfolder.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "filesystem.h"
#include "foldersnapshot.h"
#include "packageinstaller.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "updateentry.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>
#include <vector>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using Snapshot = QMap<QString, QByteArray>;

class tst_PackageInstaller : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void mainApplicationCheck_data();
    void mainApplicationCheck();
    void pluginRoot();
    void otherTypesHaveNoRoot_data();
    void otherTypesHaveNoRoot();
    void descriptorStem_data();
    void descriptorStem();

    void addOverExistingFile();
    void addWhereNothingWas();
#ifndef Q_OS_WIN
    void installedModes_data();
    void installedModes();
#endif
    void actions_data();
    void actions();
    void payloadNamedTwice();
    void packageMismatch_data();
    void packageMismatch();
    void descriptorInSubfolder();
    void detailsAndDirectoryEntries();
    void archiveWithoutUsableEntries_data();
    void archiveWithoutUsableEntries();
    void unreadableEntries_data();
    void unreadableEntries();
    void fileThatCannotBeCreated();
    void tooLittleSpaceChangesNothing();

    void emptyRootIsRefused_data();
    void emptyRootIsRefused();
    void hostileEntryNames_data();
    void hostileEntryNames();
    void longEntryName();
#ifndef Q_OS_WIN
    // Linux's limit on a path's length (4,096 bytes).
    void failedBackupLeavesTargetAlone();
#endif
    void missingDescriptor();
    void malformedDescriptor();
    void staleFilesAreDeleted();

    void rollbackRestoresThePackagesTargets();
    void rollbackOfSameTargetTwice();
    void rollbackRecreatesMissingFolders();
    void rollbackOfPackageNeverInstalled();
    void rollbackInReverseOrder();
    void runStateIsPerRun();

private:
    struct Outcome
    {
        bool ok = false;
        QString errorText;
        QString message;
        QStringList details;
    };

    const UpdateEntry *entry(const std::string &name, const std::string &type = "app",
        const std::string &linkPath = std::string());
    Outcome install(PackageInstaller &installer);
    std::unique_ptr<PackageInstaller> installerOf(const UpdateEntry *entry)
    {
        return std::make_unique<PackageInstaller>(entry, m_root, &m_runState);
    }
    QString packageFolder(const QString &name) const
    {
        return m_download + QLatin1Char('/') + name + QLatin1Char('/');
    }
    QString unwindFolder() const
    {
        return packageFolder(QStringLiteral("core")) + QStringLiteral("/unwind/");
    }

    std::unique_ptr<TestEnvironment> m_environment;
    std::vector<std::unique_ptr<UpdateEntry>> m_entries;
    BoxRecorder m_boxes;
    PackageInstaller::RunState m_runState;
    QString m_root;
    QString m_download;
};

namespace {
QByteArray hashOf(const QByteArray &contents)
{
    return QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex();
}

void writeRaw(const QString &path, const QByteArray &bytes)
{
    QVERIFY(TestEnvironment::writeFile(path, bytes));
}

// Patches the first local and central header of an archive; offsets from the zip format.
void patchFirstEntry(const QString &archive, bool unknownMethod, bool badData)
{
    QFile file(archive);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const qsizetype local = bytes.indexOf(QByteArray("PK\x03\x04", 4));
    const qsizetype central = bytes.indexOf(QByteArray("PK\x01\x02", 4));
    QVERIFY(local >= 0 && central > local);
    if (unknownMethod) {
        bytes[local + 8] = 99;
        bytes[central + 10] = 99;
    }
    if (badData) {
        const int nameLength = uchar(bytes[local + 26]) | uchar(bytes[local + 27]) << 8;
        const int extraLength = uchar(bytes[local + 28]) | uchar(bytes[local + 29]) << 8;
        // A deflate block header of type 3, which does not exist.
        bytes[local + 30 + nameLength + extraLength] = char(0xff);
    }
    QVERIFY(file.seek(0));
    QCOMPARE(file.write(bytes), bytes.size());
}
} // namespace

void tst_PackageInstaller::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_root = m_environment->root() + QStringLiteral("/app");
    m_download = m_environment->tempFolder() + QStringLiteral("/tupdates/");
    QVERIFY(ApplicationFolder::make(m_root));
    QVERIFY(QDir().mkpath(m_download));
    m_runState = {};
    m_boxes.clear();
}

void tst_PackageInstaller::cleanup()
{
    // What the user is told is the run's to decide.
    QCOMPARE(m_boxes.texts(), QStringList());
    qunsetenv("APPDATA");
    m_entries.clear();
    m_environment.reset();
}

const UpdateEntry *tst_PackageInstaller::entry(
    const std::string &name, const std::string &type, const std::string &linkPath)
{
    const std::string path = linkPath.empty() ? "/" + name + ".zip" : linkPath;
    m_entries.push_back(
        EntryBuilder().name(name).type(type).link("http://updates.example" + path).build());
    return m_entries.back().get();
}

tst_PackageInstaller::Outcome tst_PackageInstaller::install(PackageInstaller &installer)
{
    Outcome outcome;
    PackageInstaller::Failure failure;
    outcome.ok = installer.install(m_download, &outcome.details, &failure);
    outcome.message = failure.message;
    outcome.errorText = failure.errorText;
    return outcome;
}

void tst_PackageInstaller::mainApplicationCheck_data()
{
    QTest::addColumn<bool>("withMainApplication");
    QTest::addColumn<QString>("appRoot");
    QTest::addColumn<bool>("lacks");
    QTest::newRow("root with orvi7.exe") << true << QStringLiteral("<root>") << false;
    QTest::newRow("root without orvi7.exe") << false << QStringLiteral("<root>") << true;
    QTest::newRow("no root") << true << QString() << true;
}

void tst_PackageInstaller::mainApplicationCheck()
{
    QFETCH(bool, withMainApplication);
    QFETCH(QString, appRoot);
    QFETCH(bool, lacks);
    appRoot.replace(QStringLiteral("<root>"), m_root);
    if (!withMainApplication)
        QVERIFY(QFile::remove(ApplicationFolder::mainProgram(m_root)));

    const PackageInstaller installer(entry("core"), appRoot, &m_runState);
    QCOMPARE(installer.lacksMainApplication(), lacks);
    // Without the main application nothing may go to its folder.
    QCOMPARE(installer.rootFolder(), lacks ? QString() : m_root);
}

void tst_PackageInstaller::pluginRoot()
{
    const QString appData = m_environment->root() + QStringLiteral("/Roaming");
    qputenv("APPDATA", QFile::encodeName(appData));
    QCOMPARE(installerOf(entry("spell", "plugin"))->rootFolder(),
        appData + QStringLiteral("/Orvi/plugins/"));
    QCOMPARE(PackageInstaller::destinationOf("plugin", m_root),
        appData + QStringLiteral("/Orvi/plugins/"));

#ifdef Q_OS_WIN
    // Windows writes it with backslashes.
    qputenv("APPDATA", QFile::encodeName(QDir::toNativeSeparators(appData)));
    QCOMPARE(installerOf(entry("spell", "plugin"))->rootFolder(),
        appData + QStringLiteral("/Orvi/plugins/"));
#else
    // Without APPDATA the per-user data folder stands in.
    qunsetenv("APPDATA");
    QCOMPARE(installerOf(entry("spell", "plugin"))->rootFolder(),
        m_environment->root() + QStringLiteral("/data/Orvi/plugins/"));
#endif
}

void tst_PackageInstaller::otherTypesHaveNoRoot_data()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("App") << QStringLiteral("App");
    QTest::newRow("PLUGIN") << QStringLiteral("PLUGIN");
    QTest::newRow("empty") << QString();
    QTest::newRow("theme") << QStringLiteral("theme");
}

void tst_PackageInstaller::otherTypesHaveNoRoot()
{
    QFETCH(QString, type);
    qputenv("APPDATA", QFile::encodeName(m_environment->root()));
    const auto installer = installerOf(entry("core", type.toStdString()));
    QVERIFY(installer->rootFolder().isEmpty());
    QVERIFY(!installer->lacksMainApplication());
}

void tst_PackageInstaller::descriptorStem_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("stem");
    QTest::newRow("root file") << QStringLiteral("http://h/pkg.zip") << QStringLiteral("/pkg");
    QTest::newRow("subfolder") << QStringLiteral("http://h/pkg/foo.zip")
                               << QStringLiteral("/pkg/foo");
    QTest::newRow("port and query")
        << QStringLiteral("http://h:8080/dir/x.zip?a=1#f") << QStringLiteral("/dir/x");
    QTest::newRow("short path") << QStringLiteral("http://h/a") << QString();
    QTest::newRow("four characters") << QStringLiteral("http://h/abc") << QString();
    QTest::newRow("encoded") << QStringLiteral("http://h/my%20pkg.zip")
                             << QStringLiteral("/my pkg");
}

void tst_PackageInstaller::descriptorStem()
{
    QFETCH(QString, link);
    QFETCH(QString, stem);
    QCOMPARE(PackageInstaller::descriptorStem(link.toStdString()), stem);
}

void tst_PackageInstaller::addOverExistingFile()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/plugins/a.dll"), "old"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addPackageElement(QStringLiteral("orvi"), QStringLiteral("core"), QStringLiteral("app"))
        .addFile(QStringLiteral("plugins"), QStringLiteral("a.dll"), "new")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);

    QVERIFY(outcome.ok);
    QVERIFY(outcome.errorText.isEmpty());
    QCOMPARE(outcome.details, QStringList { QStringLiteral(" - plugins/a.dll") });
    Snapshot expected = before;
    expected[QStringLiteral("plugins/a.dll")] = hashOf("new");
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    QCOMPARE(TestEnvironment::readFile(unwindFolder() + QStringLiteral("plugins/a.dll")),
        QByteArray("old"));
}

void tst_PackageInstaller::addWhereNothingWas()
{
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QStringLiteral("lib/deep"), QStringLiteral("b.dll"), "fresh")
        .addFile(QString(), QStringLiteral("top.txt"), "top")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);

    QVERIFY(outcome.ok);
    Snapshot expected = before;
    expected[QStringLiteral("lib")] = "<dir>";
    expected[QStringLiteral("lib/deep")] = "<dir>";
    expected[QStringLiteral("lib/deep/b.dll")] = hashOf("fresh");
    expected[QStringLiteral("top.txt")] = hashOf("top");
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    // Nothing existed, so nothing was backed up.
    QVERIFY(QDir(unwindFolder()).isEmpty());
}

#ifndef Q_OS_WIN
void tst_PackageInstaller::installedModes_data()
{
    // -1: no file to replace, or an entry that records no mode.
    QTest::addColumn<int>("replacedMode");
    QTest::addColumn<int>("entryMode");
    QTest::addColumn<int>("umask");
    QTest::addColumn<int>("expected");
    QTest::newRow("replaced 0600 stays") << 0600 << -1 << 022 << 0600;
    QTest::newRow("executable over 0644") << 0644 << 0755 << 022 << 0755;
    QTest::newRow("plain over executable") << 0755 << 0644 << 022 << 0644;
    QTest::newRow("replaced loses group write") << 0664 << -1 << 002 << 0644;
    QTest::newRow("new without mode") << -1 << -1 << 022 << 0644;
    QTest::newRow("new 0777") << -1 << 0777 << 0 << 0755;
    QTest::newRow("new within umask") << -1 << 0755 << 077 << 0700;
    QTest::newRow("replaced within umask") << 0666 << -1 << 027 << 0640;
}

void tst_PackageInstaller::installedModes()
{
    QFETCH(int, replacedMode);
    QFETCH(int, entryMode);
    QFETCH(int, umask);
    QFETCH(int, expected);
    const QString target = m_root + QStringLiteral("/bin/x");
    if (replacedMode >= 0) {
        QVERIFY(TestEnvironment::writeFile(target, "old"));
        QVERIFY(::chmod(QFile::encodeName(target).constData(), mode_t(replacedMode)) == 0);
    }
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x"), "new");
    if (entryMode >= 0)
        package.withMode(entryMode);
    QVERIFY(package.addDescriptorEntry(QStringLiteral("core.xml"))
                .write(m_download + QStringLiteral("/core.zip")));

    const mode_t previousMask = ::umask(mode_t(umask));
    const Outcome outcome = install(*installerOf(entry("core")));
    ::umask(previousMask);
    QVERIFY2(outcome.ok, qPrintable(outcome.message));
    QCOMPARE(TestEnvironment::readFile(target), QByteArray("new"));
    struct stat status;
    QVERIFY(::stat(QFile::encodeName(target).constData(), &status) == 0);
    QCOMPARE(QString::number(status.st_mode & 07777, 8), QString::number(expected, 8));
}
#endif

void tst_PackageInstaller::actions_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("expectedContents");
    QTest::addColumn<bool>("removed");
    QTest::newRow("add") << QStringLiteral("add") << QByteArray("new") << false;
    QTest::newRow("ADD") << QStringLiteral("ADD") << QByteArray("new") << false;
    QTest::newRow("Remove") << QStringLiteral("Remove") << QByteArray() << true;
    QTest::newRow("update") << QStringLiteral("update") << QByteArray("old") << false;
    QTest::newRow("no action") << QString() << QByteArray("old") << false;
}

void tst_PackageInstaller::actions()
{
    QFETCH(QString, action);
    QFETCH(QByteArray, expectedContents);
    QFETCH(bool, removed);
    const QString target = m_root + QStringLiteral("/bin/x.dll");
    QVERIFY(TestEnvironment::writeFile(target, "old"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "new", action)
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    QVERIFY(install(*installer).ok);

    Snapshot expected = before;
    if (removed)
        expected.remove(QStringLiteral("bin/x.dll"));
    else
        expected[QStringLiteral("bin/x.dll")] = hashOf(expectedContents);
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    // A target that changes is backed up first; one that stays needs no backup.
    const bool changes = expectedContents != "old";
    QCOMPARE(TestEnvironment::readFile(unwindFolder() + QStringLiteral("bin/x.dll")),
        changes ? QByteArray("old") : QByteArray());
}

void tst_PackageInstaller::payloadNamedTwice()
{
    // Elements naming one payload also name one target. Whether the payload was moved or
    // copied into place, every element finds it, and what existed before is what is backed up.
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/a/x.dll"), "old"));
    TestPackage package;
    package.addFile(QStringLiteral("a"), QStringLiteral("x.dll"), "payload")
        .addFileElement(QStringLiteral("a"), QStringLiteral("x.dll"), QStringLiteral("add"))
        .addFileElement(QStringLiteral("a"), QStringLiteral("x.dll"), QStringLiteral("remove"))
        .addFileElement(QStringLiteral("./a"), QStringLiteral("x.dll"), QStringLiteral("add"))
        .addFile(QStringLiteral("b"), QStringLiteral("y.dll"), "y")
        .addFileElement(QStringLiteral("b"), QStringLiteral("y.dll"), QStringLiteral("remove"))
        .addFileElement(QStringLiteral("b"), QStringLiteral("y.dll"), QStringLiteral("add"))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    QVERIFY(install(*installer).ok);
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/a/x.dll")), QByteArray("payload"));
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/b/y.dll")), QByteArray("y"));
    QCOMPARE(
        TestEnvironment::readFile(unwindFolder() + QStringLiteral("a/x.dll")), QByteArray("old"));
    // Undone, a/x.dll is what existed before and b/y.dll, which did not, is gone.
    QVERIFY(installer->rollback());
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/a/x.dll")), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/b/y.dll")));
}

void tst_PackageInstaller::packageMismatch_data()
{
    QTest::addColumn<QString>("project");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("message");
    QTest::newRow("project") << QStringLiteral("other") << QStringLiteral("core")
                             << QStringLiteral("app") << QStringLiteral("Wrong project!");
    QTest::newRow("name") << QStringLiteral("orvi") << QStringLiteral("Core")
                          << QStringLiteral("app") << QStringLiteral("Wrong name!");
    QTest::newRow("type") << QStringLiteral("orvi") << QStringLiteral("core")
                          << QStringLiteral("plugin") << QStringLiteral("Wrong type!");
    QTest::newRow("first mismatch wins") << QStringLiteral("other") << QStringLiteral("Core")
                                         << QStringLiteral("x") << QStringLiteral("Wrong project!");
}

void tst_PackageInstaller::packageMismatch()
{
    QFETCH(QString, project);
    QFETCH(QString, name);
    QFETCH(QString, type);
    QFETCH(QString, message);
    TestPackage package;
    // The package element is checked before any file element is applied, wherever it stands.
    package.addFile(QStringLiteral("early"), QStringLiteral("e.dll"), "early")
        .addPackageElement(project, name, type)
        .addFile(QStringLiteral("late"), QStringLiteral("l.dll"), "late")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.message, message);
    QVERIFY(outcome.errorText.isEmpty());
    QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/early")));
    QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/late")));
    // The extracted files stay in the package folder.
    QCOMPARE(TestEnvironment::readFile(
                 packageFolder(QStringLiteral("core")) + QStringLiteral("late/l.dll")),
        QByteArray("late"));
    QVERIFY(QFileInfo::exists(packageFolder(QStringLiteral("core")) + QStringLiteral("core.xml")));
}

void tst_PackageInstaller::descriptorInSubfolder()
{
    TestPackage package;
    package.addPackageElement(QStringLiteral("orvi"), QStringLiteral("foo"), QStringLiteral("app"))
        .addFile(QStringLiteral("bin"), QStringLiteral("f.dll"), "f")
        .addDescriptorEntry(TestPackage::descriptorEntryFor(QStringLiteral("/pkg/foo.zip")))
        .addEntry("foo.xml", "<not-the-descriptor/>");
    QVERIFY(package.write(m_download + QStringLiteral("/pkg/foo.zip")));

    const auto installer = installerOf(entry("foo", "app", "/pkg/foo.zip"));
    const Outcome outcome = install(*installer);
    QVERIFY(outcome.ok);
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/bin/f.dll")), QByteArray("f"));
    // Only an entry named exactly foo.xml is left out of the details.
    QCOMPARE(outcome.details,
        QStringList({ QStringLiteral(" - bin/f.dll"), QStringLiteral(" - pkg/foo.xml") }));
}

void tst_PackageInstaller::detailsAndDirectoryEntries()
{
    TestPackage package;
    package.addDirectoryEntry("docs")
        .addDirectoryEntry("empty/inner/")
        .addFile(QStringLiteral("bin"), QStringLiteral("b.dll"), "b")
        .addEntry("readme.txt", "unused")
        .addDescriptorEntry(QStringLiteral("core.xml"))
        .addFile(QStringLiteral("bin"), QStringLiteral("a.dll"), "a");
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(outcome.ok);
    // Archive order; the descriptor N.xml and directory entries are left out.
    QCOMPARE(outcome.details,
        QStringList({ QStringLiteral(" - bin/b.dll"), QStringLiteral(" - readme.txt"),
            QStringLiteral(" - bin/a.dll") }));
    const QString folder = packageFolder(QStringLiteral("core"));
    QVERIFY(QFileInfo(folder + QStringLiteral("docs")).isDir());
    QVERIFY(QFileInfo(folder + QStringLiteral("empty/inner")).isDir());
    QCOMPARE(
        TestEnvironment::readFile(folder + QStringLiteral("readme.txt")), QByteArray("unused"));
}

void tst_PackageInstaller::archiveWithoutUsableEntries_data()
{
    QTest::addColumn<QByteArray>("archiveBytes");
    QTest::addColumn<bool>("present");
    // An end-of-central-directory record alone: a valid archive without entries.
    QByteArray empty("PK\x05\x06", 4);
    empty.append(18, '\0');
    QTest::newRow("no entries") << empty << true;
    QTest::newRow("not a zip") << QByteArray("this is no archive") << true;
    QTest::newRow("missing") << QByteArray() << false;

    QTemporaryDir folder;
    TestPackage package;
    package.addFile(QString(), QStringLiteral("a.dll"), "a")
        .addFile(QString(), QStringLiteral("b.dll"), "b")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(folder.filePath(QStringLiteral("core.zip"))));
    const QByteArray whole = TestEnvironment::readFile(folder.filePath(QStringLiteral("core.zip")));
    QTest::newRow("end record cut off") << whole.chopped(10) << true;
    // The second central directory header no longer carries its signature.
    QByteArray damaged = whole;
    const qsizetype first = damaged.indexOf(QByteArray("PK\x01\x02", 4));
    const qsizetype second = damaged.indexOf(QByteArray("PK\x01\x02", 4), first + 4);
    QVERIFY(first >= 0 && second > first);
    damaged[second + 3] = 9;
    QTest::newRow("damaged central directory") << damaged << true;
}

void tst_PackageInstaller::archiveWithoutUsableEntries()
{
    QFETCH(QByteArray, archiveBytes);
    QFETCH(bool, present);
    if (present)
        writeRaw(m_download + QStringLiteral("/core.zip"), archiveBytes);
    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.message, QStringLiteral("Unable to open update archive"));
    QVERIFY(outcome.errorText.isEmpty());
    QVERIFY(QDir(packageFolder(QStringLiteral("core")) + QStringLiteral("unwind")).exists());
}

void tst_PackageInstaller::unreadableEntries_data()
{
    QTest::addColumn<bool>("unknownMethod");
    QTest::addColumn<QString>("message");
    QTest::newRow("entry cannot be opened")
        << true << QStringLiteral("Cannot extract update file (bin/a.dll)!");
    QTest::newRow("entry data damaged")
        << false << QStringLiteral("Cannot read file from archive!");
}

void tst_PackageInstaller::unreadableEntries()
{
    QFETCH(bool, unknownMethod);
    QFETCH(QString, message);
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("a.dll"), QByteArray(5000, 'a'))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    const QString archive = m_download + QStringLiteral("/core.zip");
    QVERIFY(package.write(archive));
    patchFirstEntry(archive, unknownMethod, !unknownMethod);

    const auto installer = installerOf(entry("core"));
    const Snapshot before = FolderSnapshot::take(m_root);
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.message, message);
    QVERIFY(outcome.details.isEmpty());
    QCOMPARE(FolderSnapshot::take(m_root), before);
    QVERIFY(
        QFileInfo(packageFolder(QStringLiteral("core")) + QStringLiteral("bin/a.dll")).isFile());
}

void tst_PackageInstaller::fileThatCannotBeCreated()
{
    TestPackage package;
    package.addFile(QString(), QStringLiteral("first.txt"), "1")
        .addDirectoryEntry("clash")
        .addEntry("clash", "a file where a folder is")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QVERIFY(!outcome.errorText.isEmpty());
    QCOMPARE(
        outcome.message, QStringLiteral("Cannot create file clash (%1)").arg(outcome.errorText));
    QCOMPARE(outcome.details, QStringList { QStringLiteral(" - first.txt") });
}

void tst_PackageInstaller::tooLittleSpaceChangesNothing()
{
    TestPackage package;
    package.addFile(QString(), QStringLiteral("orvi7.exe"), "new main application")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const Snapshot before = FolderSnapshot::take(m_root);
    FileSystem::setSpaceReporter([](const QString &) { return qint64(3000000); });
    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    FileSystem::setSpaceReporter(FileSystem::SpaceReporter());
    QVERIFY(!outcome.ok);
    QVERIFY2(outcome.message.startsWith(
                 QStringLiteral("Not enough free disk space for this package: it needs ")),
        qPrintable(outcome.message));
    QVERIFY2(outcome.message.contains(QStringLiteral(" MB, 3 MB are free in ")),
        qPrintable(outcome.message));
    QCOMPARE(FolderSnapshot::take(m_root), before);
}

void tst_PackageInstaller::emptyRootIsRefused_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("withMainApplication");
    QTest::newRow("unknown type") << QStringLiteral("theme") << true;
    QTest::newRow("failed main-application check") << QStringLiteral("app") << false;
}

void tst_PackageInstaller::emptyRootIsRefused()
{
    QFETCH(QString, type);
    QFETCH(bool, withMainApplication);
    if (!withMainApplication)
        QVERIFY(QFile::remove(ApplicationFolder::mainProgram(m_root)));
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "new")
        .addFile(QString(), QStringLiteral("top.dll"), "top")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const Snapshot before = FolderSnapshot::take(m_environment->root());

    const auto installer = installerOf(entry("core", type.toStdString()));
    const Outcome outcome = install(*installer);

    QVERIFY(!outcome.ok);
    QCOMPARE(
        outcome.message, QStringLiteral("Cannot find the destination folder of this package!"));
    const Snapshot after = FolderSnapshot::take(m_environment->root());
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/bin/x.dll")));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/top.dll")));
}

void tst_PackageInstaller::hostileEntryNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("parent segment") << QByteArray("../../evil.txt");
    QTest::newRow("inner parent segment") << QByteArray("bin/../../evil.txt");
    QTest::newRow("leading slash") << QByteArray("/tmp/evil.txt");
    QTest::newRow("drive prefix") << QByteArray("C:/evil.txt");
    QTest::newRow("backslashes") << QByteArray("..\\..\\evil.txt");
    QTest::newRow("parent folder entry") << QByteArray("../");
}

void tst_PackageInstaller::hostileEntryNames()
{
    QFETCH(QByteArray, name);
    TestPackage package;
    package.addEntry("good.txt", "fine")
        .addEntry(name, "evil")
        .addEntry("late.txt", "late")
        .addFile(QString(), QStringLiteral("x.dll"), "x")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const Snapshot withArchive = FolderSnapshot::take(m_environment->root());

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.message,
        QStringLiteral("Cannot extract update file (%1)!").arg(QString::fromLatin1(name)));
    QCOMPARE(outcome.details, QStringList { QStringLiteral(" - good.txt") });

    // Outside the package folder nothing changed; inside, only the entry before it exists.
    const Snapshot after = FolderSnapshot::take(m_environment->root());
    const QString core
        = QDir(m_environment->root()).relativeFilePath(packageFolder(QStringLiteral("core")));
    Snapshot outside;
    QStringList inside;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (it.key().startsWith(core + QLatin1Char('/')))
            inside << it.key().mid(core.size());
        else if (it.key() != core)
            outside.insert(it.key(), it.value());
    }
    QVERIFY2(outside == withArchive,
        qPrintable(FolderSnapshot::describeDifference(withArchive, outside)));
    inside.sort();
    QCOMPARE(inside, QStringList({ QStringLiteral("/good.txt"), QStringLiteral("/unwind") }));
}

void tst_PackageInstaller::longEntryName()
{
    // Longer than any fixed name buffer of 256 bytes, in folders of legal length.
    const QString path
        = QString(200, QLatin1Char('p')) + QLatin1Char('/') + QString(100, QLatin1Char('q'));
    const QString name = QString(150, QLatin1Char('n'));
    TestPackage package;
    package.addFile(path, name, "long").addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(outcome.ok);
    QCOMPARE(
        outcome.details, QStringList { QStringLiteral(" - ") + path + QLatin1Char('/') + name });
    QCOMPARE(TestEnvironment::readFile(m_root + QLatin1Char('/') + path + QLatin1Char('/') + name),
        QByteArray("long"));
}

#ifndef Q_OS_WIN
void tst_PackageInstaller::failedBackupLeavesTargetAlone()
{
    // The backup path is longer than the target path; make only the backup exceed the
    // system's path length limit.
    const QString unwindBase = packageFolder(QStringLiteral("core")) + QStringLiteral("/unwind/");
    const int pathMax = 4096;
    const int segmentLength = 200;
    QString path;
    while ((unwindBase + path).size() + segmentLength + 2 < pathMax)
        path += (path.isEmpty() ? QString() : QStringLiteral("/"))
            + QString(segmentLength, QLatin1Char('d'));
    const int nameLength = pathMax + 2 - int(unwindBase.size() + path.size() + 1);
    QVERIFY(nameLength > 0 && nameLength < 255);
    const QString name = QString(nameLength, QLatin1Char('n'));
    const QString target = m_root + QLatin1Char('/') + path + QLatin1Char('/') + name;
    QVERIFY(target.size() < pathMax - 1);
    QVERIFY(TestEnvironment::writeFile(target, "old"));
    const Snapshot before = FolderSnapshot::take(m_root);

    TestPackage package;
    package.addFileElement(path, name, QStringLiteral("remove"))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QVERIFY2(outcome.message.startsWith(
                 QStringLiteral("Cannot back up file ") + target + QStringLiteral(" to ")),
        qPrintable(outcome.message));
    QCOMPARE(FolderSnapshot::take(m_root), before);
}
#endif

void tst_PackageInstaller::missingDescriptor()
{
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "x")
        .addDescriptorEntry(QStringLiteral("other.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const Snapshot before = FolderSnapshot::take(m_root);

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.message, QStringLiteral("Package description file is missing!"));
    QCOMPARE(outcome.details,
        QStringList({ QStringLiteral(" - bin/x.dll"), QStringLiteral(" - other.xml") }));
    QCOMPARE(FolderSnapshot::take(m_root), before);
}

void tst_PackageInstaller::malformedDescriptor()
{
    TestPackage package;
    package.addEntry("a.dll", "a")
        .addEntry("b.dll", "b")
        .setDescriptorText("<update>\n<file name=\"a.dll\" path=\"\" action=\"add\"/>\n"
                           "<file name=\"b.dll\" path=\"\" action=\"add\">\n</update>\n")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const Snapshot before = FolderSnapshot::take(m_root);

    const auto installer = installerOf(entry("core"));
    const Outcome outcome = install(*installer);
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.message, QStringLiteral("Package description file is damaged (line 4)!"));
    // The whole descriptor is read before the first change, so nothing was applied.
    QCOMPARE(FolderSnapshot::take(m_root), before);
}

void tst_PackageInstaller::staleFilesAreDeleted()
{
    const QString folder = packageFolder(QStringLiteral("core"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("stale.txt"), "stale"));
    QVERIFY(
        TestEnvironment::writeFile(folder + QStringLiteral("unwind/bin/x.dll"), "stale backup"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("unwind/.hidden"), "stale"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/bin/x.dll"), "current"));
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "new")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    const auto installer = installerOf(entry("core"));
    QVERIFY(install(*installer).ok);
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("stale.txt")));
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("unwind/.hidden")));
    QCOMPARE(TestEnvironment::readFile(folder + QStringLiteral("unwind/bin/x.dll")),
        QByteArray("current"));
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/bin/x.dll")), QByteArray("new"));
}

void tst_PackageInstaller::rollbackRestoresThePackagesTargets()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/bin/a.dll"), "old a"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/bin/b.dll"), "old b"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/c.txt"), "old c"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("a.dll"), "new a")
        .addFileElement(QStringLiteral("bin"), QStringLiteral("b.dll"), QStringLiteral("remove"))
        .addFileElement(QString(), QStringLiteral("c.txt"), QStringLiteral("keep"))
        .addFile(QStringLiteral("bin"), QStringLiteral("created.dll"), "created")
        .addFile(QStringLiteral("fresh/deeper"), QStringLiteral("n.dll"), "in a new folder")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const auto installer = installerOf(entry("core"));
    QVERIFY(install(*installer).ok);
    QVERIFY(FolderSnapshot::take(m_root) != before);

    QVERIFY(installer->rollback());

    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
    // The backups went back to their places.
    QVERIFY(!QFile::exists(unwindFolder() + QStringLiteral("/bin/a.dll")));
}

void tst_PackageInstaller::rollbackOfSameTargetTwice()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/x.dll"), "before"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QString(), QStringLiteral("x.dll"), "first")
        .addFileElement(QString(), QStringLiteral("x.dll"), QStringLiteral("add"))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const auto installer = installerOf(entry("core"));
    QVERIFY(install(*installer).ok);
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/x.dll")), QByteArray("first"));
    QCOMPARE(
        TestEnvironment::readFile(unwindFolder() + QStringLiteral("x.dll")), QByteArray("before"));

    QVERIFY(installer->rollback());
    QCOMPARE(FolderSnapshot::take(m_root), before);
}

void tst_PackageInstaller::rollbackRecreatesMissingFolders()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/deep/er/x.dll"), "old"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QStringLiteral("deep/er"), QStringLiteral("x.dll"), "new")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const auto installer = installerOf(entry("core"));
    QVERIFY(install(*installer).ok);
    QVERIFY(QDir(m_root + QStringLiteral("/deep")).removeRecursively());

    QVERIFY(installer->rollback());
    QCOMPARE(FolderSnapshot::take(m_root), before);
}

void tst_PackageInstaller::rollbackOfPackageNeverInstalled()
{
    const Snapshot before = FolderSnapshot::take(m_environment->root());
    const auto installer = installerOf(entry("core"));
    QVERIFY(installer->rollback());
    QCOMPARE(FolderSnapshot::take(m_environment->root()), before);
}

void tst_PackageInstaller::rollbackInReverseOrder()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/x.dll"), "v0"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage first;
    first.addFile(QString(), QStringLiteral("x.dll"), "v1")
        .addFile(QString(), QStringLiteral("y.dll"), "y1")
        .addDescriptorEntry(QStringLiteral("one.xml"));
    QVERIFY(first.write(m_download + QStringLiteral("/one.zip")));
    TestPackage second;
    second.addFile(QString(), QStringLiteral("x.dll"), "v2")
        .addFile(QString(), QStringLiteral("y.dll"), "y2")
        .addDescriptorEntry(QStringLiteral("two.xml"));
    QVERIFY(second.write(m_download + QStringLiteral("/two.zip")));
    PackageInstaller one(entry("one"), m_root, &m_runState);
    PackageInstaller two(entry("two"), m_root, &m_runState);
    QVERIFY(install(one).ok);
    QVERIFY(install(two).ok);

    QVERIFY(two.rollback());
    // What the first package placed, the second found and backed up.
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/x.dll")), QByteArray("v1"));
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/y.dll")), QByteArray("y1"));
    QVERIFY(one.rollback());
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
}

void tst_PackageInstaller::runStateIsPerRun()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/x.dll"), "v0"));
    TestPackage package;
    package.addFile(QString(), QStringLiteral("x.dll"), "v1")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const auto first = installerOf(entry("core"));
    QVERIFY(install(*first).ok);

    // A second package of the same name in the same run keeps the first one's backup.
    const auto second = installerOf(entry("core"));
    QVERIFY(install(*second).ok);
    QCOMPARE(TestEnvironment::readFile(unwindFolder() + QStringLiteral("x.dll")), QByteArray("v0"));
    QCOMPARE(
        TestEnvironment::readFile(unwindFolder() + QStringLiteral("x.dll.~1")), QByteArray("v1"));

    // The next run cleans the package folder and takes the backup names afresh.
    PackageInstaller::RunState nextRun;
    PackageInstaller next(entry("core"), m_root, &nextRun);
    QVERIFY(install(next).ok);
    QCOMPARE(TestEnvironment::readFile(unwindFolder() + QStringLiteral("x.dll")), QByteArray("v1"));
    QVERIFY(!QFileInfo::exists(unwindFolder() + QStringLiteral("x.dll.~1")));
    QVERIFY(next.rollback());
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/x.dll")), QByteArray("v1"));
}

QTEST_MAIN(tst_PackageInstaller)
#include "tst_packageinstaller.moc"
