#include "applicationarguments.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "foldersnapshot.h"
#include "messageboxhandler.h"
#include "packageinstaller.h"
#include "quitrecorder.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "updateentry.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>
#include <vector>

using Snapshot = QMap<QString, QByteArray>;

class tst_PackageInstaller : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void appRoot_data();
    void appRoot();
    void pluginRoot();
    void otherTypesHaveNoRoot_data();
    void otherTypesHaveNoRoot();
    void descriptorStem_data();
    void descriptorStem();

    void addOverExistingFile();
    void addWhereNothingWas();
    void zeroRootPermissionsKeepCreatedFlags();
    void actions_data();
    void actions();
    void removeOfAbsentFile();
    void sameTargetTwice();
    void payloadNamedTwice();
    void updatePrefixCopiesNothing();
    void packageMismatch_data();
    void packageMismatch();
    void descriptorInSubfolder();
    void detailsAndDirectoryEntries();
    void archiveWithoutUsableEntries_data();
    void archiveWithoutUsableEntries();
    void unreadableEntries_data();
    void unreadableEntries();
    void fileThatCannotBeCreated();
    void fileThatCannotBeCopied();

    void emptyRootIsRefused_data();
    void emptyRootIsRefused();
    void containment_data();
    void containment();
    void hostileEntryNames_data();
    void hostileEntryNames();
    void longEntryName();
    void failedBackupLeavesTargetAlone();
    void missingDescriptor();
    void malformedDescriptor();
    void staleFilesAreDeleted();

    void rollbackRestoresThePackagesTargets();
    void rollbackOfSameTargetTwice();
    void rollbackRecreatesMissingFolders();
    void rollbackOfPackageNeverInstalled();
    void rollbackWithoutBackupFails();
    void rollbackInReverseOrder();

private:
    struct Outcome
    {
        bool ok = false;
        QString errorText;
        QStringList details;
    };

    const UpdateEntry *entry(const std::string &name, const std::string &type = "app",
        const std::string &linkPath = std::string());
    Outcome install(PackageInstaller &installer);
    QString packageFolder(const QString &name) const
    {
        return m_download + QLatin1Char('/') + name + QLatin1Char('/');
    }
    void verifyBoxes(const QStringList &texts);

    std::unique_ptr<TestEnvironment> m_environment;
    std::vector<std::unique_ptr<UpdateEntry>> m_entries;
    BoxRecorder m_recorder;
    const QList<MessageBoxHandler::Box> &m_boxes = m_recorder.boxes();
    QString m_root;
    QString m_download;
};

namespace {
QByteArray hashOf(const QByteArray &contents)
{
    return QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex();
}

// The owner, group and other bits; the "user" bits depend on who runs the test.
QFile::Permissions classBits(QFile::Permissions permissions)
{
    return permissions & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
}

QString boxTitle()
{
    return QStringLiteral("Update");
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
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/orvi7.exe"), "main"));
    QVERIFY(QDir().mkpath(m_download));
    ApplicationArguments::set(
        { QStringLiteral("/x/updater"), QStringLiteral("-u"), QStringLiteral("-root"), m_root });
    m_recorder.clear();
}

void tst_PackageInstaller::cleanup()
{
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
    outcome.ok = installer.install(m_download, &outcome.errorText, &outcome.details);
    return outcome;
}

void tst_PackageInstaller::verifyBoxes(const QStringList &texts)
{
    QCOMPARE(m_boxes.size(), texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        QCOMPARE(m_boxes.at(i).icon, QMessageBox::Critical);
        QCOMPARE(m_boxes.at(i).title, boxTitle());
        QCOMPARE(m_boxes.at(i).text, texts.at(i));
        QCOMPARE(m_boxes.at(i).buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
}

void tst_PackageInstaller::appRoot_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("withMainApplication");
    QTest::addColumn<QString>("expectedRoot");

    const QString root = QStringLiteral("<root>");
    QTest::newRow("root with orvi7.exe")
        << QStringList { QStringLiteral("-u"), QStringLiteral("-root"), root } << true << root;
    QTest::newRow("root without orvi7.exe")
        << QStringList { QStringLiteral("-u"), QStringLiteral("-root"), root } << false
        << QString();
    QTest::newRow("-root last") << QStringList { QStringLiteral("-u"), QStringLiteral("-root") }
                                << true << QString();
    QTest::newRow("no -root") << QStringList { QStringLiteral("-u") } << true << QString();
    QTest::newRow("-root twice") << QStringList { QStringLiteral("-root"), root,
        QStringLiteral("-root"), QStringLiteral("/elsewhere") }
                                 << true << root;
}

void tst_PackageInstaller::appRoot()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withMainApplication);
    QFETCH(QString, expectedRoot);
    arguments.replaceInStrings(QStringLiteral("<root>"), m_root);
    expectedRoot.replace(QStringLiteral("<root>"), m_root);
    if (!withMainApplication)
        QVERIFY(QFile::remove(m_root + QStringLiteral("/orvi7.exe")));
    QVERIFY(QFile::setPermissions(m_root,
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser
            | QFile::ExeUser | QFile::ReadGroup));
    ApplicationArguments::set(QStringList { QStringLiteral("/x/updater") } + arguments);

    std::unique_ptr<PackageInstaller> installer;
    const int quits = QuitRecorder::run(
        [&]() { installer = std::make_unique<PackageInstaller>(entry("core")); });

    QCOMPARE(installer->rootFolder(), expectedRoot);
    QCOMPARE(installer->packageName(), QStringLiteral("core"));
    QVERIFY(installer->unwindFolder().isEmpty());
    QVERIFY(installer->backupFiles().isEmpty());
    QVERIFY(installer->backupFolders().isEmpty());
    if (expectedRoot.isEmpty()) {
        verifyBoxes({ QStringLiteral("Cannot run update!") });
        QCOMPARE(quits, 1);
        QCOMPARE(installer->rootPermissions(), QFile::Permissions());
    } else {
        QVERIFY(m_boxes.isEmpty());
        QCOMPARE(quits, 0);
        QCOMPARE(installer->rootPermissions(), QFileInfo(m_root).permissions());
    }
}

void tst_PackageInstaller::pluginRoot()
{
    const QString appData = m_environment->root() + QStringLiteral("/Roaming");
    qputenv("APPDATA", QFile::encodeName(appData));
    PackageInstaller missingFolder(entry("spell", "plugin"));
    QCOMPARE(missingFolder.rootFolder(), appData + QStringLiteral("/Orvi/plugins/"));
    QCOMPARE(missingFolder.rootPermissions(), QFile::Permissions());

    QVERIFY(QDir().mkpath(appData + QStringLiteral("/Orvi/plugins")));
    PackageInstaller existingFolder(entry("spell", "plugin"));
    QCOMPARE(existingFolder.rootPermissions(),
        QFileInfo(appData + QStringLiteral("/Orvi/plugins/")).permissions());
    QVERIFY(existingFolder.rootPermissions() != QFile::Permissions());

    // Without APPDATA the per-user data folder stands in.
    qunsetenv("APPDATA");
    PackageInstaller fallback(entry("spell", "plugin"));
    QCOMPARE(fallback.rootFolder(), m_environment->root() + QStringLiteral("/data/Orvi/plugins/"));
    QVERIFY(m_boxes.isEmpty());
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
    int quits = 0;
    std::unique_ptr<PackageInstaller> installer;
    quits = QuitRecorder::run([&]() {
        installer = std::make_unique<PackageInstaller>(entry("core", type.toStdString()));
    });
    QVERIFY(installer->rootFolder().isEmpty());
    QCOMPARE(installer->rootPermissions(), QFile::Permissions());
    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(quits, 0);
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
    m_entries.push_back(EntryBuilder().version("").link(link).build());
    PackageInstaller installer(m_entries.back().get());
    QCOMPARE(installer.descriptorStem(), stem);
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

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);

    QVERIFY(outcome.ok);
    QVERIFY(m_boxes.isEmpty());
    QVERIFY(outcome.errorText.isEmpty());
    QCOMPARE(outcome.details, QStringList { QStringLiteral(" - plugins/a.dll") });
    Snapshot expected = before;
    expected[QStringLiteral("plugins/a.dll")] = hashOf("new");
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    QCOMPARE(installer.unwindFolder(),
        packageFolder(QStringLiteral("core")) + QStringLiteral("/unwind/"));
    QCOMPARE(TestEnvironment::readFile(installer.unwindFolder() + QStringLiteral("plugins/a.dll")),
        QByteArray("old"));
    QCOMPARE(installer.backupFolders(), QStringList { QStringLiteral("plugins") });
    QCOMPARE(installer.backupFiles(), QStringList { QStringLiteral("plugins/a.dll") });
    QVERIFY(installer.createdFiles().isEmpty());
}

void tst_PackageInstaller::addWhereNothingWas()
{
    const QFile::Permissions rootFlags = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup;
    QVERIFY(QFile::setPermissions(m_root, rootFlags));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QStringLiteral("lib/deep"), QStringLiteral("b.dll"), "fresh")
        .addFile(QString(), QStringLiteral("top.txt"), "top")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);

    QVERIFY(outcome.ok);
    Snapshot expected = before;
    expected[QStringLiteral("lib")] = "<dir>";
    expected[QStringLiteral("lib/deep")] = "<dir>";
    expected[QStringLiteral("lib/deep/b.dll")] = hashOf("fresh");
    expected[QStringLiteral("top.txt")] = hashOf("top");
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    QVERIFY(installer.backupFiles().isEmpty());
    QVERIFY(installer.backupFolders().isEmpty());
    QCOMPARE(installer.createdFiles(),
        QStringList({ QStringLiteral("lib/deep/b.dll"), QStringLiteral("/top.txt") }));
    QCOMPARE(classBits(QFileInfo(m_root + QStringLiteral("/lib/deep/b.dll")).permissions()),
        classBits(rootFlags));
    QCOMPARE(classBits(QFileInfo(m_root + QStringLiteral("/top.txt")).permissions()),
        classBits(rootFlags));
}

void tst_PackageInstaller::zeroRootPermissionsKeepCreatedFlags()
{
    // The plug-in folder does not exist yet, so the root has no permission flags.
    qputenv("APPDATA", QFile::encodeName(m_environment->root() + QStringLiteral("/Roaming")));
    TestPackage package;
    package.addFile(QStringLiteral("spell"), QStringLiteral("pl.dic"), "słownik")
        .addDescriptorEntry(QStringLiteral("spell.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/spell.zip")));

    PackageInstaller installer(entry("spell", "plugin"));
    QCOMPARE(installer.rootPermissions(), QFile::Permissions());
    QVERIFY(install(installer).ok);

    const QString placed = installer.rootFolder() + QStringLiteral("spell/pl.dic");
    QCOMPARE(TestEnvironment::readFile(placed), QByteArray("słownik"));
    const QFile::Permissions flags = QFileInfo(placed).permissions();
    QVERIFY(flags.testFlag(QFile::ReadOwner));
    QVERIFY(flags.testFlag(QFile::WriteOwner));
}

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

    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);

    Snapshot expected = before;
    if (removed)
        expected.remove(QStringLiteral("bin/x.dll"));
    else
        expected[QStringLiteral("bin/x.dll")] = hashOf(expectedContents);
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    // A target that changes is backed up first; one that stays needs no backup.
    const bool changes = expectedContents != "old";
    QCOMPARE(installer.backupFiles(),
        changes ? QStringList { QStringLiteral("bin/x.dll") } : QStringList());
    QCOMPARE(TestEnvironment::readFile(installer.unwindFolder() + QStringLiteral("bin/x.dll")),
        changes ? QByteArray("old") : QByteArray());
    QVERIFY(m_boxes.isEmpty());
}

void tst_PackageInstaller::removeOfAbsentFile()
{
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package
        .addFileElement(QStringLiteral("bin"), QStringLiteral("gone.dll"), QStringLiteral("remove"))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
    QCOMPARE(FolderSnapshot::take(m_root), before);
    QVERIFY(installer.backupFiles().isEmpty());
    QVERIFY(installer.backupFolders().isEmpty());
    QVERIFY(installer.createdFiles().isEmpty());
    QVERIFY(QDir(installer.unwindFolder()).isEmpty());
}

void tst_PackageInstaller::sameTargetTwice()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/bin/x.dll"), "old"));
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "new")
        .addFileElement(QStringLiteral("bin"), QStringLiteral("x.dll"), QStringLiteral("add"))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);

    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/bin/x.dll")), QByteArray("new"));
    QCOMPARE(TestEnvironment::readFile(installer.unwindFolder() + QStringLiteral("bin/x.dll")),
        QByteArray("old"));
    QCOMPARE(installer.backupFiles(),
        QStringList({ QStringLiteral("bin/x.dll"), QStringLiteral("bin/x.dll") }));
    QCOMPARE(installer.backupFolders(), QStringList { QStringLiteral("bin") });
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

    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/a/x.dll")), QByteArray("payload"));
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/b/y.dll")), QByteArray("y"));
    QCOMPARE(TestEnvironment::readFile(installer.unwindFolder() + QStringLiteral("a/x.dll")),
        QByteArray("old"));
    QCOMPARE(installer.backupFiles(),
        QStringList({ QStringLiteral("a/x.dll"), QStringLiteral("a/x.dll"),
            QStringLiteral("a/x.dll"), QStringLiteral("b/y.dll") }));
    // a/x.dll existed before; b/y.dll did not, however often the package touched it.
    QCOMPARE(installer.createdFiles(), QStringList { QStringLiteral("b/y.dll") });
}

void tst_PackageInstaller::updatePrefixCopiesNothing()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/data/orvi_core_app.dat"), "old"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QStringLiteral("data"), QStringLiteral("orvi_core_app.dat"), "new")
        .addFile(QStringLiteral("fresh"), QStringLiteral("orvi_core_app.cfg"), "cfg")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(outcome.ok);
    QVERIFY(m_boxes.isEmpty());

    Snapshot expected = before;
    expected.remove(QStringLiteral("data/orvi_core_app.dat"));
    expected[QStringLiteral("fresh")] = "<dir>";
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
    QCOMPARE(installer.backupFiles(), QStringList { QStringLiteral("data/orvi_core_app.dat") });
    QCOMPARE(TestEnvironment::readFile(
                 installer.unwindFolder() + QStringLiteral("data/orvi_core_app.dat")),
        QByteArray("old"));
    QVERIFY(installer.createdFiles().isEmpty());
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

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(!outcome.ok);
    verifyBoxes({ message });
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

    PackageInstaller installer(entry("foo", "app", "/pkg/foo.zip"));
    const Outcome outcome = install(installer);
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

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
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
    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(!outcome.ok);
    verifyBoxes({ QStringLiteral("Unable to open update archive") });
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

    PackageInstaller installer(entry("core"));
    const Snapshot before = FolderSnapshot::take(m_root);
    const Outcome outcome = install(installer);
    QVERIFY(!outcome.ok);
    verifyBoxes({ message });
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

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(!outcome.ok);
    QVERIFY(!outcome.errorText.isEmpty());
    verifyBoxes({ QStringLiteral("Cannot create file clash (%1)").arg(outcome.errorText) });
    QCOMPARE(outcome.details, QStringList { QStringLiteral(" - first.txt") });
}

void tst_PackageInstaller::fileThatCannotBeCopied()
{
    // A folder stands where the file should go; it is neither backed up nor replaced.
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/bin/x.dll/inner.txt"), "inner"));
    const Snapshot before = FolderSnapshot::take(m_root);
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "new")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));

    PackageInstaller installer(entry("core"));
    QVERIFY(!install(installer).ok);
    const QString source
        = QDir::cleanPath(packageFolder(QStringLiteral("core")) + QStringLiteral("bin/x.dll"));
    verifyBoxes({ QStringLiteral(
        "The package description names a folder or no file at all (bin/x.dll)!") });
    QCOMPARE(FolderSnapshot::take(m_root), before);
    QVERIFY(installer.backupFiles().isEmpty());
}

void tst_PackageInstaller::emptyRootIsRefused_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("withMainApplication");
    QTest::addColumn<int>("expectedBoxes");
    QTest::newRow("unknown type") << QStringLiteral("theme") << true << 1;
    QTest::newRow("failed main-application check") << QStringLiteral("app") << false << 2;
}

void tst_PackageInstaller::emptyRootIsRefused()
{
    QFETCH(QString, type);
    QFETCH(bool, withMainApplication);
    QFETCH(int, expectedBoxes);
    if (!withMainApplication)
        QVERIFY(QFile::remove(m_root + QStringLiteral("/orvi7.exe")));
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "new")
        .addFile(QString(), QStringLiteral("top.dll"), "top")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const Snapshot before = FolderSnapshot::take(m_environment->root());

    std::unique_ptr<PackageInstaller> installer;
    QuitRecorder::run([&]() {
        installer = std::make_unique<PackageInstaller>(entry("core", type.toStdString()));
    });
    const Outcome outcome = install(*installer);

    QVERIFY(!outcome.ok);
    QCOMPARE(m_boxes.size(), expectedBoxes);
    QCOMPARE(
        m_boxes.last().text, QStringLiteral("Cannot find the destination folder of this package!"));
    QCOMPARE(m_boxes.last().title, boxTitle());
    const Snapshot after = FolderSnapshot::take(m_environment->root());
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/bin/x.dll")));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/top.dll")));
}

void tst_PackageInstaller::containment_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("installedAs");
    QTest::newRow("sibling with the root's name as prefix")
        << QStringLiteral("../app2") << QString();
    QTest::newRow("parent") << QStringLiteral("..") << QString();
    QTest::newRow("deep escape") << QStringLiteral("bin/../../../outside") << QString();
    QTest::newRow("absolute-looking path stays inside")
        << QStringLiteral("/abs") << QStringLiteral("abs/f.dll");
    QTest::newRow("dots resolved inside")
        << QStringLiteral("./bin/../lib") << QStringLiteral("lib/f.dll");
}

void tst_PackageInstaller::containment()
{
    QFETCH(QString, path);
    QFETCH(QString, installedAs);
    QVERIFY(QDir().mkpath(m_environment->root() + QStringLiteral("/app2")));
    const Snapshot before = FolderSnapshot::take(m_environment->root());
    TestPackage package;
    // The payload lies where the element's path leads inside the package folder.
    package.addEntry("f.dll", "payload")
        .addFileElement(path, QStringLiteral("f.dll"), QStringLiteral("add"))
        .addDescriptorEntry(QStringLiteral("core.xml"));
    if (!installedAs.isEmpty())
        package.addEntry(installedAs.toUtf8(), "payload");
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const QString archiveName = QStringLiteral("cache/orvi-updater/tupdates/core.zip");

    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
    QVERIFY(m_boxes.isEmpty());

    const Snapshot after = FolderSnapshot::take(m_environment->root());
    Snapshot outsidePackage;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!it.key().startsWith(QStringLiteral("cache/orvi-updater/tupdates/core")))
            outsidePackage.insert(it.key(), it.value());
    }
    Snapshot expected = before;
    if (!installedAs.isEmpty()) {
        const QString folder = QStringLiteral("app/") + installedAs.section(QLatin1Char('/'), 0, 0);
        expected[folder] = "<dir>";
        expected[QStringLiteral("app/") + installedAs] = hashOf("payload");
    }
    expected.remove(archiveName);
    outsidePackage.remove(archiveName);
    QVERIFY2(outsidePackage == expected,
        qPrintable(FolderSnapshot::describeDifference(expected, outsidePackage)));
    QVERIFY(installer.backupFiles().isEmpty());
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

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(!outcome.ok);
    verifyBoxes(
        { QStringLiteral("Cannot extract update file (%1)!").arg(QString::fromLatin1(name)) });
    QCOMPARE(outcome.details, QStringList { QStringLiteral(" - good.txt") });

    // Outside the package folder nothing changed; inside, only the entry before it exists.
    const Snapshot after = FolderSnapshot::take(m_environment->root());
    Snapshot outside;
    QStringList inside;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (it.key().startsWith(QStringLiteral("cache/orvi-updater/tupdates/core/")))
            inside << it.key();
        else if (it.key() != QStringLiteral("cache/orvi-updater/tupdates/core"))
            outside.insert(it.key(), it.value());
    }
    QVERIFY2(outside == withArchive,
        qPrintable(FolderSnapshot::describeDifference(withArchive, outside)));
    inside.sort();
    QCOMPARE(inside,
        QStringList({ QStringLiteral("cache/orvi-updater/tupdates/core/good.txt"),
            QStringLiteral("cache/orvi-updater/tupdates/core/unwind") }));
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

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(outcome.ok);
    QCOMPARE(
        outcome.details, QStringList { QStringLiteral(" - ") + path + QLatin1Char('/') + name });
    QCOMPARE(TestEnvironment::readFile(m_root + QLatin1Char('/') + path + QLatin1Char('/') + name),
        QByteArray("long"));
}

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
    PackageInstaller installer(entry("core"));
    QVERIFY(!install(installer).ok);
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY2(m_boxes.first().text.startsWith(
                 QStringLiteral("Cannot back up file ") + target + QStringLiteral(" to ")),
        qPrintable(m_boxes.first().text));
    QCOMPARE(FolderSnapshot::take(m_root), before);
}

void tst_PackageInstaller::missingDescriptor()
{
    TestPackage package;
    package.addFile(QStringLiteral("bin"), QStringLiteral("x.dll"), "x")
        .addDescriptorEntry(QStringLiteral("other.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    const Snapshot before = FolderSnapshot::take(m_root);

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(!outcome.ok);
    verifyBoxes({ QStringLiteral("Package description file is missing!") });
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

    PackageInstaller installer(entry("core"));
    const Outcome outcome = install(installer);
    QVERIFY(!outcome.ok);
    verifyBoxes({ QStringLiteral("Package description file is damaged (line 4)!") });
    // The whole descriptor is read before the first change, so nothing was applied.
    QVERIFY(installer.createdFiles().isEmpty());
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

    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
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
    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
    QVERIFY(FolderSnapshot::take(m_root) != before);
    const QStringList backupFiles = installer.backupFiles();

    QVERIFY(installer.rollback(m_download));

    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
    // The backups went back to their places; the records are unchanged.
    QCOMPARE(installer.backupFiles(), backupFiles);
    QCOMPARE(installer.unwindFolder(),
        packageFolder(QStringLiteral("core")) + QStringLiteral("unwind/"));
    QVERIFY(!QFile::exists(installer.unwindFolder() + QStringLiteral("/bin/a.dll")));
    QVERIFY(m_boxes.isEmpty());
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
    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
    QCOMPARE(installer.backupFiles().size(), 2);

    QVERIFY(installer.rollback(m_download));
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
    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
    QVERIFY(QDir(m_root + QStringLiteral("/deep")).removeRecursively());

    QVERIFY(installer.rollback(m_download));
    QCOMPARE(FolderSnapshot::take(m_root), before);
}

void tst_PackageInstaller::rollbackOfPackageNeverInstalled()
{
    const Snapshot before = FolderSnapshot::take(m_environment->root());
    PackageInstaller installer(entry("core"));
    QVERIFY(installer.rollback(m_download));
    QCOMPARE(installer.unwindFolder(),
        packageFolder(QStringLiteral("core")) + QStringLiteral("unwind/"));
    QCOMPARE(FolderSnapshot::take(m_environment->root()), before);
}

void tst_PackageInstaller::rollbackWithoutBackupFails()
{
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/a.dll"), "old a"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/b.dll"), "old b"));
    TestPackage package;
    package.addFile(QString(), QStringLiteral("a.dll"), "new a")
        .addFile(QString(), QStringLiteral("b.dll"), "new b")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(package.write(m_download + QStringLiteral("/core.zip")));
    PackageInstaller installer(entry("core"));
    QVERIFY(install(installer).ok);
    QVERIFY(QFile::remove(installer.unwindFolder() + QStringLiteral("/b.dll")));

    QVERIFY(!installer.rollback(m_download));
    // What came before the failure is restored; no box of its own.
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/a.dll")), QByteArray("old a"));
    QVERIFY(m_boxes.isEmpty());
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
    PackageInstaller one(entry("one"));
    PackageInstaller two(entry("two"));
    QVERIFY(install(one).ok);
    QVERIFY(install(two).ok);
    QCOMPARE(two.createdFiles(), QStringList());

    QVERIFY(two.rollback(m_download));
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/x.dll")), QByteArray("v1"));
    QVERIFY(one.rollback(m_download));
    const Snapshot after = FolderSnapshot::take(m_root);
    QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_PackageInstaller)
#include "tst_packageinstaller.moc"
