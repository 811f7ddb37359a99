#include "applicationarguments.h"
#include "deltapackage.h"
#include "entrybuilder.h"
#include "foldersnapshot.h"
#include "packageinstaller.h"
#include "packagesignature.h"
#include "replyreader.h"
#include "testenvironment.h"
#include "testsigning.h"
#include "updateentry.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <memory>

// Relative path to contents; a path ending in "/" is an empty folder.
using Tree = QMap<QString, QByteArray>;
using Snapshot = QMap<QString, QByteArray>;

namespace {

const QString PackageFile = QStringLiteral("core-2.0.zip");

QByteArray patterned(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + seed * 7 + i / 1009) & 0xff);
    return bytes;
}

Tree oldTree()
{
    return {
        { QStringLiteral("orvi7.exe"), "main 1" },
        { QStringLiteral("a.dll"), "unchanged" },
        { QStringLiteral("top-gone.txt"), "removed at the top" },
        { QStringLiteral(".config"), "hidden old" },
        { QStringLiteral("sub/b.dll"), "b version 1" },
        { QStringLiteral("sub/gone.dll"), "removed below" },
        { QStringLiteral("sub/deep/c.txt"), "unchanged below" },
        { QStringLiteral("x"), "a file that becomes a folder" },
        { QStringLiteral("big.bin"), patterned(200 * 1024, 1) },
        { QStringLiteral("r\u00e9sum\u00e9.txt"), "old" },
        { QStringLiteral("same-size.txt"), "abcd" },
    };
}

Tree newTree()
{
    return {
        { QStringLiteral("orvi7.exe"), "main 2" },
        { QStringLiteral("a.dll"), "unchanged" },
        { QStringLiteral(".config"), "hidden new" },
        { QStringLiteral("sub/b.dll"), "b version 2" },
        { QStringLiteral("sub/deep/c.txt"), "unchanged below" },
        { QStringLiteral("sub/deep/deeper/new.txt"), "new three levels down" },
        { QStringLiteral("n.txt"), "new at the top" },
        { QStringLiteral("x/y.txt"), "inside the new folder" },
        { QStringLiteral("big.bin"), patterned(300 * 1024 + 17, 2) },
        { QStringLiteral("r\u00e9sum\u00e9.txt"), "new" },
        { QStringLiteral("same-size.txt"), "abce" },
    };
}

bool writeTree(const QString &root, const Tree &tree)
{
    if (!QDir().mkpath(root))
        return false;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (it.key().endsWith(QLatin1Char('/')) ? !QDir().mkpath(path)
                                                : !TestEnvironment::writeFile(path, it.value()))
            return false;
    }
    return true;
}

// Creates an empty file at path, whatever encoding its bytes are in.
bool writeRawName(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd >= 0 && ::close(fd) == 0;
}

struct Entry
{
    QString name;
    QByteArray contents;
    uLong versionMadeBy;
    uLong externalAttributes;
};

// Every entry of the archive in archive order, read back through minizip.
QList<Entry> readArchive(const QString &path)
{
    QList<Entry> entries;
    unzFile zip = unzOpen64(QFile::encodeName(path).constData());
    if (!zip)
        return entries;
    for (int result = unzGoToFirstFile(zip); result == UNZ_OK; result = unzGoToNextFile(zip)) {
        char name[256] = {};
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK
            || unzOpenCurrentFile(zip) != UNZ_OK)
            break;
        Entry entry { QString::fromLatin1(name), QByteArray(), info.version, info.external_fa };
        char buffer[4096];
        int read = 0;
        while ((read = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0)
            entry.contents.append(buffer, read);
        unzCloseCurrentFile(zip);
        entries << entry;
    }
    unzClose(zip);
    return entries;
}

} // namespace

class tst_MkPackage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installTurnsOldIntoNew_data();
    void installTurnsOldIntoNew();
    void archiveLayout();
    void identicalBytes();
    void recordsModes();
    void emptiedAndEmptyFolders();
    void refusals_data();
    void refusals();
    void publishesInCatalogue();
    void signs_data();
    void signs();
    void delegatesServerKey();

private:
    int mkpackage(
        const QStringList &arguments, QByteArray *output = nullptr, QByteArray *errors = nullptr);
    QStringList packageArguments(
        const QString &output, const QString &type = QStringLiteral("app"));

    std::unique_ptr<TestEnvironment> m_environment;
    QString m_old;
    QString m_new;
    QString m_download;
};

void tst_MkPackage::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_old = m_environment->root() + QStringLiteral("/v1");
    m_new = m_environment->root() + QStringLiteral("/v2");
    m_download = m_environment->tempFolder() + QStringLiteral("/tupdates/");
    QVERIFY(QDir().mkpath(m_download));
    QVERIFY(writeTree(m_old, oldTree()));
    QVERIFY(writeTree(m_new, newTree()));
}

void tst_MkPackage::cleanup()
{
    qunsetenv("APPDATA");
    qunsetenv("ORVI_SIGNING_PASSWORD");
    m_environment.reset();
}

int tst_MkPackage::mkpackage(const QStringList &arguments, QByteArray *output, QByteArray *errors)
{
    QProcess process;
    process.start(QStringLiteral(ORVI_MKPACKAGE_BINARY), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    const QByteArray stderrText = process.readAllStandardError();
    if (errors)
        *errors = stderrText;
    else if (!stderrText.isEmpty())
        qWarning("mkpackage: %s", stderrText.constData());
    return process.exitCode();
}

QStringList tst_MkPackage::packageArguments(const QString &output, const QString &type)
{
    return { QStringLiteral("--old"), m_old, QStringLiteral("--new"), m_new,
        QStringLiteral("--project"), QStringLiteral("orvi"), QStringLiteral("--name"),
        QStringLiteral("core"), QStringLiteral("--type"), type, QStringLiteral("--output"),
        output };
}

void tst_MkPackage::installTurnsOldIntoNew_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("delta"); // installed from the delta, prepared as its download ends
    QTest::newRow("main application") << QStringLiteral("app") << false;
    QTest::newRow("plug-in") << QStringLiteral("plugin") << false;
    QTest::newRow("main application, from the delta") << QStringLiteral("app") << true;
    QTest::newRow("plug-in, from the delta") << QStringLiteral("plugin") << true;
}

void tst_MkPackage::installTurnsOldIntoNew()
{
    QFETCH(QString, type);
    QFETCH(bool, delta);

    // The installed copy of the old version, where the installer puts an update of this type.
    QString root;
    if (type == QLatin1String("app")) {
        root = m_environment->root() + QStringLiteral("/installed");
    } else {
        const QString appData = m_environment->root() + QStringLiteral("/appdata");
        qputenv("APPDATA", QFile::encodeName(appData));
        root = appData + QStringLiteral("/Orvi/plugins");
    }
    QVERIFY(writeTree(root, oldTree()));
    QCOMPARE(FolderSnapshot::take(root), FolderSnapshot::take(m_old));

    QByteArray output;
    const QStringList deltaArguments { QStringLiteral("--delta"), QStringLiteral("1.0") };
    QCOMPARE(mkpackage(packageArguments(m_download + PackageFile, type)
                     + (delta ? deltaArguments : QStringList()),
                 &output),
        0);
    QVERIFY2(output.contains("3 added, 6 changed, 3 removed"), output.constData());
    const QString deltaFile = QStringLiteral("core-2.0-from-1.0.zip");
    QCOMPARE(QFile::exists(m_download + deltaFile), delta);

    const std::unique_ptr<UpdateEntry> entry
        = EntryBuilder()
              .type(type)
              .link(QStringLiteral("http://127.0.0.1:8080/") + PackageFile)
              .delta({ "1.0", "http://127.0.0.1:8080/" + deltaFile.toStdString(), "", -1 })
              .build();
    PackageInstaller::RunState runState;
    PackageInstaller installer(entry.get(), root, &runState);
    DeltaPackage::Prepared prepared;
    if (delta) {
        // The whole package is gone: the delta alone must make the new version.
        QVERIFY(QFile::remove(m_download + PackageFile));
        DeltaPackage deltaPackage(
            *entry, m_environment->root() + QStringLiteral("/installed"), m_download);
        QVERIFY2(deltaPackage.apply(m_download + deltaFile, &prepared),
            qPrintable(deltaPackage.errorText()));
        installer.setPrepared(&prepared);
    }
    QStringList details;
    PackageInstaller::Failure failure;
    QVERIFY2(installer.install(m_download, &details, &failure), qPrintable(failure.message));

    const Snapshot expected = FolderSnapshot::take(m_new);
    const Snapshot actual = FolderSnapshot::take(root);
    QVERIFY2(actual == expected, qPrintable(FolderSnapshot::describeDifference(expected, actual)));

    // One details line per extracted entry: the payload and the descriptor, which is not
    // named after the component.
    details.sort();
    QCOMPARE(details,
        QStringList({ QStringLiteral(" - .config"), QStringLiteral(" - big.bin"),
            QStringLiteral(" - core-2.0.xml"), QStringLiteral(" - n.txt"),
            QStringLiteral(" - orvi7.exe"), QStringLiteral(" - r\u00e9sum\u00e9.txt"),
            QStringLiteral(" - same-size.txt"), QStringLiteral(" - sub/b.dll"),
            QStringLiteral(" - sub/deep/deeper/new.txt"), QStringLiteral(" - x/y.txt") }));
    // Every replaced or removed file was backed up, so the update can be rolled back.
    QVERIFY(installer.rollback());
    const Snapshot restored = FolderSnapshot::take(root);
    const Snapshot old = FolderSnapshot::take(m_old);
    QVERIFY2(restored == old, qPrintable(FolderSnapshot::describeDifference(old, restored)));
}

void tst_MkPackage::archiveLayout()
{
    const QString package = m_environment->root() + QLatin1Char('/') + PackageFile;
    QCOMPARE(mkpackage(packageArguments(package)), 0);
    const QList<Entry> entries = readArchive(package);
    QStringList names;
    for (const Entry &entry : entries)
        names << entry.name;
    QCOMPARE(names,
        QStringList({ QStringLiteral("core-2.0.xml"), QStringLiteral(".config"),
            QStringLiteral("big.bin"), QStringLiteral("n.txt"), QStringLiteral("orvi7.exe"),
            QStringLiteral("r\u00e9sum\u00e9.txt"), QStringLiteral("same-size.txt"),
            QStringLiteral("sub/b.dll"), QStringLiteral("sub/deep/deeper/new.txt"),
            QStringLiteral("x/y.txt") }));
    const Tree expected = newTree();
    for (qsizetype i = 1; i < entries.size(); ++i)
        QVERIFY2(entries.at(i).contents == expected.value(entries.at(i).name),
            qPrintable(entries.at(i).name));

    QDomDocument descriptor;
    QVERIFY(descriptor.setContent(entries.at(0).contents));
    const QDomElement packageElement = descriptor.documentElement();
    QCOMPARE(packageElement.tagName(), QStringLiteral("package"));
    QCOMPARE(packageElement.attribute(QStringLiteral("project")), QStringLiteral("orvi"));
    QCOMPARE(packageElement.attribute(QStringLiteral("name")), QStringLiteral("core"));
    QCOMPARE(packageElement.attribute(QStringLiteral("type")), QStringLiteral("app"));
    QStringList files;
    for (QDomElement file = packageElement.firstChildElement(QStringLiteral("file"));
         !file.isNull(); file = file.nextSiblingElement(QStringLiteral("file")))
        files << file.attribute(QStringLiteral("action")) + QLatin1Char(' ')
                + file.attribute(QStringLiteral("path")) + QLatin1Char('|')
                + file.attribute(QStringLiteral("name"));
    // Removals first, so the file "x" is gone before the folder "x" is filled.
    QCOMPARE(files,
        QStringList({ QStringLiteral("remove sub|gone.dll"), QStringLiteral("remove |top-gone.txt"),
            QStringLiteral("remove |x"), QStringLiteral("add |.config"),
            QStringLiteral("add |big.bin"), QStringLiteral("add |n.txt"),
            QStringLiteral("add |orvi7.exe"), QStringLiteral("add |r\u00e9sum\u00e9.txt"),
            QStringLiteral("add |same-size.txt"), QStringLiteral("add sub|b.dll"),
            QStringLiteral("add sub/deep/deeper|new.txt"), QStringLiteral("add x|y.txt") }));
}

void tst_MkPackage::identicalBytes()
{
    const QString first = m_environment->root() + QStringLiteral("/first/") + PackageFile;
    const QString second = m_environment->root() + QStringLiteral("/second/") + PackageFile;
    QVERIFY(QDir().mkpath(QFileInfo(first).path()));
    QVERIFY(QDir().mkpath(QFileInfo(second).path()));
    QCOMPARE(mkpackage(packageArguments(first)), 0);

    // Other times on disk must not show in the archive.
    const QDateTime past(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
    for (const QString &path : newTree().keys()) {
        QFile file(m_new + QLatin1Char('/') + path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(past, QFileDevice::FileModificationTime));
    }
    QCOMPARE(mkpackage(packageArguments(second)), 0);
    const QByteArray firstBytes = TestEnvironment::readFile(first);
    QVERIFY(!firstBytes.isEmpty());
    QVERIFY(firstBytes == TestEnvironment::readFile(second));

    // A change of contents does show.
    QVERIFY(TestEnvironment::writeFile(m_new + QStringLiteral("/n.txt"), "other"));
    QCOMPARE(mkpackage(packageArguments(second)), 0);
    QVERIFY(firstBytes != TestEnvironment::readFile(second));
    QVERIFY(!QFile::exists(second + QStringLiteral(".part")));
}

void tst_MkPackage::recordsModes()
{
    QVERIFY(
        ::chmod(QFile::encodeName(m_new + QStringLiteral("/orvi7.exe")).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(m_new + QStringLiteral("/n.txt")).constData(), 0600) == 0);
    // Same contents, but now executable: the package must carry it for its execute bits.
    QVERIFY(::chmod(QFile::encodeName(m_new + QStringLiteral("/a.dll")).constData(), 0755) == 0);
    QCOMPARE(mkpackage(packageArguments(m_download + PackageFile)), 0);
    // Made on Unix (host 3), with the plain file's type and mode in the attributes' upper half.
    QMap<QString, QString> recorded;
    for (const Entry &entry : readArchive(m_download + PackageFile))
        recorded.insert(entry.name,
            QStringLiteral("%1 %2")
                .arg(entry.versionMadeBy >> 8)
                .arg(entry.externalAttributes >> 16, 0, 8));
    QCOMPARE(recorded.value(QStringLiteral("orvi7.exe")), QStringLiteral("3 100755"));
    QCOMPARE(recorded.value(QStringLiteral("n.txt")), QStringLiteral("3 100600"));
    QCOMPARE(recorded.value(QStringLiteral("a.dll")), QStringLiteral("3 100755"));
}

void tst_MkPackage::emptiedAndEmptyFolders()
{
    QVERIFY(writeTree(m_old, { { QStringLiteral("gone/only.txt"), "the folder's one file" } }));
    QVERIFY(writeTree(m_new, { { QStringLiteral("made/"), QByteArray() } }));
    const QString root = m_environment->root() + QStringLiteral("/installed");
    QVERIFY(writeTree(root, oldTree()));
    QVERIFY(writeTree(root, { { QStringLiteral("gone/only.txt"), "the folder's one file" } }));

    QByteArray errors;
    QCOMPARE(mkpackage(packageArguments(m_download + PackageFile), nullptr, &errors), 0);
    QVERIFY2(errors.contains("warning: the empty folder made is not carried by the package"),
        errors.constData());
    QVERIFY2(errors.contains("warning: the folder gone is emptied but stays in place"),
        errors.constData());

    const std::unique_ptr<UpdateEntry> entry
        = EntryBuilder().link(QStringLiteral("http://127.0.0.1/") + PackageFile).build();
    PackageInstaller::RunState runState;
    PackageInstaller installer(entry.get(), root, &runState);
    QStringList details;
    PackageInstaller::Failure failure;
    QVERIFY2(installer.install(m_download, &details, &failure), qPrintable(failure.message));
    Snapshot expected = FolderSnapshot::take(m_new);
    expected.remove(QStringLiteral("made"));
    expected.insert(QStringLiteral("gone"), QByteArrayLiteral("<dir>"));
    const Snapshot actual = FolderSnapshot::take(root);
    QVERIFY2(actual == expected, qPrintable(FolderSnapshot::describeDifference(expected, actual)));
}

void tst_MkPackage::refusals_data()
{
    QTest::addColumn<Tree>("oldExtra");
    QTest::addColumn<Tree>("newExtra");
    QTest::addColumn<QStringList>("changedArguments");
    QTest::addColumn<QString>("message");

    const Tree none;
    QTest::newRow("symbolic link") << none << Tree { { QStringLiteral("link"), "<link>" } }
                                   << QStringList() << QStringLiteral("is a symbolic link");
    QTest::newRow("name the installer skips")
        << none << Tree { { QStringLiteral("sub/orvi_core_app.dat"), "x" } } << QStringList()
        << QStringLiteral("does not install files whose name starts with orvi_core_app");
    QTest::newRow("payload named like the descriptor")
        << none << Tree { { QStringLiteral("core-2.0.xml"), "x" } } << QStringList()
        << QStringLiteral("core-2.0.xml is the package descriptor's name");
    QTest::newRow("folder becomes a file")
        << Tree { { QStringLiteral("f/a.txt"), "a" } } << Tree { { QStringLiteral("f"), "f" } }
        << QStringList() << QStringLiteral("f is a folder in the old version");
    QTest::newRow("payload mistaken for a backup")
        << none
        << Tree { { QStringLiteral("unwind/a.dll"), "x" }, { QStringLiteral("a.dll"), "y" } }
        << QStringList() << QStringLiteral("unwind/a.dll and a.dll cannot be in one package");
    QTest::newRow("name outside Latin-1")
        << none << Tree { { QStringLiteral("\u65e5\u672c.txt"), "x" } } << QStringList()
        << QStringLiteral("must be Latin-1 text");
    // Names the updater refuses, or that a Windows file system cannot hold.
    const auto named = [&none](const char *row, const QString &name, const QString &message) {
        QTest::newRow(row) << none << Tree { { name, "x" } } << QStringList() << message;
    };
    named("colon", QStringLiteral("orvi7.exe:evil"),
        QStringLiteral("orvi7.exe:evil: the updater refuses this name"));
    named("control character", QStringLiteral("sub/a\u0001b.dll"),
        QStringLiteral("sub/a\u0001b.dll: a packaged path may not hold a control character"));
    named("not UTF-8", QStringLiteral("bad\u00ff.txt"),
        QStringLiteral("bad\ufffd.txt: the name is not valid UTF-8"));
    named("device name", QStringLiteral("nul"), QStringLiteral("nul: nul is a device name"));
    named("device name with an extension", QStringLiteral("sub/con.txt"),
        QStringLiteral("sub/con.txt: con.txt is a device name"));
    named("numbered device folder", QStringLiteral("Com1/a.dll"),
        QStringLiteral("Com1/a.dll: Com1 is a device name"));
    named("trailing dot", QStringLiteral("trail."),
        QStringLiteral("trail.: Windows cannot hold a name ending in a dot or a space"));
    named("trailing space", QStringLiteral("sub /a.dll"),
        QStringLiteral("sub /a.dll: Windows cannot hold a name ending in a dot or a space"));
    named("wildcard", QStringLiteral("a?.dll"),
        QStringLiteral("a?.dll: Windows cannot hold a name with ?"));
    QTest::newRow("names differing only in case")
        << none
        << Tree { { QStringLiteral("Lib/core.dll"), "x" }, { QStringLiteral("lib/core.dll"), "y" } }
        << QStringList() << QStringLiteral("Lib/core.dll and lib/core.dll differ only in case");
    QTest::newRow("package not a zip")
        << none << none
        << QStringList { QStringLiteral("--output"), QStringLiteral("core-2.0.tar") }
        << QStringLiteral("ending in .zip");
    QTest::newRow("unknown type") << none << none
                                  << QStringList { QStringLiteral("--type"), QStringLiteral("exe") }
                                  << QStringLiteral("--type must be app or plugin");
    QTest::newRow("missing old folder")
        << none << none
        << QStringList { QStringLiteral("--old"), QStringLiteral("/nonexistent/v1") }
        << QStringLiteral("/nonexistent/v1 is not a folder");
    QTest::newRow("catalogue with a path")
        << none << none
        << QStringList { QStringLiteral("--catalogue"), QStringLiteral("@root@/catalogue"),
               QStringLiteral("--version"), QStringLiteral("2"), QStringLiteral("--output"),
               QStringLiteral("sub/core-2.0.zip") }
        << QStringLiteral("with --catalogue, --output is a file name only");
    QTest::newRow("catalogue without version")
        << none << none
        << QStringList { QStringLiteral("--catalogue"), QStringLiteral("@root@/catalogue"),
               QStringLiteral("--output"), PackageFile }
        << QStringLiteral("--version is required");
    QTest::newRow("signing without a version")
        << none << none
        << QStringList { QStringLiteral("--sign"), QStringLiteral(ORVI_TEST_KEYS_DIR "/test.key") }
        << QStringLiteral("--version is required with --sign");
    QTest::newRow("signing with a public key")
        << none << none
        << QStringList { QStringLiteral("--sign"), QStringLiteral(ORVI_TEST_KEYS_DIR "/test.pub"),
               QStringLiteral("--version"), QStringLiteral("2.0") }
        << QStringLiteral("is not a minisign secret key");
}

void tst_MkPackage::refusals()
{
    QFETCH(Tree, oldExtra);
    QFETCH(Tree, newExtra);
    QFETCH(QStringList, changedArguments);
    QFETCH(QString, message);

    QVERIFY(writeTree(m_old, oldExtra));
    // QTemporaryDir does not see a name that is not UTF-8, so cannot remove it.
    QList<QByteArray> rawPaths;
    const auto removeRawPaths = qScopeGuard([&rawPaths] {
        for (const QByteArray &path : rawPaths)
            ::unlink(path.constData());
    });
    for (auto it = newExtra.cbegin(); it != newExtra.cend(); ++it) {
        const QString path = m_new + QLatin1Char('/') + it.key();
        if (it.value() == "<link>") {
            QVERIFY(QFile::link(m_new + QStringLiteral("/a.dll"), path));
        } else if (it.key().contains(QChar(0xff))) {
            // Latin-1 byte for byte: a name that is not UTF-8.
            rawPaths << QFile::encodeName(m_new) + '/' + it.key().toLatin1();
            QVERIFY(writeRawName(rawPaths.constLast()));
        } else {
            QVERIFY(TestEnvironment::writeFile(path, it.value()));
        }
    }
    const QString output = m_environment->root() + QLatin1Char('/') + PackageFile;
    QStringList arguments = packageArguments(output);
    changedArguments.replaceInStrings(QStringLiteral("@root@"), m_environment->root());
    for (qsizetype i = 0; i + 1 < changedArguments.size(); i += 2) {
        const qsizetype at = arguments.indexOf(changedArguments.at(i));
        if (at >= 0)
            arguments[at + 1] = changedArguments.at(i + 1);
        else
            arguments << changedArguments.at(i) << changedArguments.at(i + 1);
    }
    QByteArray errors;
    QCOMPARE(mkpackage(arguments, nullptr, &errors), 1);
    QVERIFY2(QString::fromLocal8Bit(errors).contains(message), errors.constData());
    const QStringList left = QDir(m_environment->root())
                                 .entryList({ QStringLiteral("*.zip"), QStringLiteral("*.part"),
                                     QStringLiteral("catalogue") });
    QCOMPARE(left, QStringList());
}

void tst_MkPackage::publishesInCatalogue()
{
    const QString catalogue = m_environment->root() + QStringLiteral("/catalogue");
    const QString changelog = m_environment->root() + QStringLiteral("/changes.txt");
    QVERIFY(TestEnvironment::writeFile(changelog, "Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87\nfaster"));
    const QStringList publishing { QStringLiteral("--catalogue"), catalogue };
    QCOMPARE(mkpackage(packageArguments(PackageFile) + publishing
                 + QStringList { QStringLiteral("--version"), QStringLiteral("2.0"),
                     QStringLiteral("--timestamp"), QStringLiteral("100") }),
        0);
    QStringList plugin
        = packageArguments(QStringLiteral("smileys-1.1.zip"), QStringLiteral("plugin"));
    plugin[plugin.indexOf(QStringLiteral("core"))] = QStringLiteral("smileys");
    QCOMPARE(mkpackage(plugin + publishing
                 + QStringList { QStringLiteral("--version"), QStringLiteral("1.1") }),
        0);
    // A newer build of the same component replaces its entry in place.
    QCOMPARE(mkpackage(packageArguments(QStringLiteral("core-2.1.zip")) + publishing
                 + QStringList { QStringLiteral("--version"), QStringLiteral("2.1"),
                     QStringLiteral("--delta"), QStringLiteral("2.0"),
                     QStringLiteral("--changelog-file"), changelog, QStringLiteral("--description"),
                     QStringLiteral("The core"), QStringLiteral("--author"),
                     QStringLiteral("Orvi team"), QStringLiteral("--critical"),
                     QStringLiteral("--timestamp"), QStringLiteral("1700000000") }),
        0);
    QVERIFY(QFile::exists(catalogue + QStringLiteral("/core-2.1.zip")));
    QVERIFY(QFile::exists(catalogue + QStringLiteral("/smileys-1.1.zip")));

    QDomDocument index;
    QVERIFY(index.setContent(TestEnvironment::readFile(catalogue + QStringLiteral("/index.xml"))));
    const QDomNodeList components = index.elementsByTagName(QStringLiteral("component"));
    QCOMPARE(components.size(), 2);
    const QDomElement core = components.at(0).toElement();
    QCOMPARE(core.attribute(QStringLiteral("name")), QStringLiteral("core"));
    QCOMPARE(core.firstChildElement(QStringLiteral("version")).text(), QStringLiteral("2.1"));
    QCOMPARE(
        core.firstChildElement(QStringLiteral("package")).text(), QStringLiteral("core-2.1.zip"));
    QCOMPARE(
        components.at(1).toElement().attribute(QStringLiteral("type")), QStringLiteral("plugin"));

    // The update server offers exactly what was published.
    QProcess server;
    server.start(QStringLiteral(ORVI_UPDATE_SERVER_BINARY),
        { QStringLiteral("--catalogue"), catalogue, QStringLiteral("--update-port"),
            QStringLiteral("0"), QStringLiteral("--base-url"),
            QStringLiteral("http://packages.orvi.example") });
    QVERIFY(server.waitForStarted(10000));
    QVERIFY(server.waitForReadyRead(10000));
    const QRegularExpressionMatch port = QRegularExpression(QStringLiteral("update port (\\d+)"))
                                             .match(QString::fromLatin1(server.readLine()));
    QVERIFY(port.hasMatch());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port.captured(1).toUShort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("<s><component project=\"orvi\" name=\"core\" type=\"app\" version=\"2.0\"/></s>");
    QByteArray reply;
    while (socket.waitForReadyRead(5000))
        reply += socket.readAll();
    server.terminate();
    QVERIFY(server.waitForFinished(5000));

    ReplyReader reader;
    QVERIFY(reader.add(reply));
    const QVector<UpdateEntry *> entries = reader.takeEntries();
    QCOMPARE(entries.size(), 1);
    const std::unique_ptr<UpdateEntry> entry(entries.first());
    QCOMPARE(entry->version(), std::string("2.1"));
    QCOMPARE(entry->changelog(), std::string("Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87\nfaster"));
    QCOMPARE(entry->description(), std::string("The core"));
    QCOMPARE(entry->author(), std::string("Orvi team"));
    QCOMPARE(entry->critical(), true);
    QCOMPARE(entry->timestamp(), 1700000000u);
    QCOMPARE(entry->link(), std::string("http://packages.orvi.example/core-2.1.zip"));
    // The delta from the version the inventory reports goes beside it.
    QCOMPARE(entry->delta().base, std::string("2.0"));
    QCOMPARE(
        entry->delta().link, std::string("http://packages.orvi.example/core-2.1-from-2.0.zip"));
    QCOMPARE(entry->delta().size,
        QFileInfo(catalogue + QStringLiteral("/core-2.1-from-2.0.zip")).size());
}

void tst_MkPackage::signs_data()
{
    QTest::addColumn<QString>("key"); // empty: one made by --generate-key
    QTest::addColumn<QByteArray>("password");
    QTest::newRow("minisign's key") << QStringLiteral(ORVI_TEST_KEYS_DIR "/test") << QByteArray();
    QTest::newRow("own key without a password") << QString() << QByteArray();
    // Encrypting and decrypting cost a second and 1 GiB each, as with minisign's own keys.
    QTest::newRow("own key with a password") << QString() << QByteArray("p\xc3\xb3\xc5\x82 ko");
}

// What mkpackage --sign writes, checked by Debian's minisign and by the updater.
void tst_MkPackage::signs()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, password);
    const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty())
        QSKIP("minisign is not installed (scripts/install-deps.sh installs it)");

    QByteArray output;
    if (key.isEmpty()) {
        const QString folder = m_environment->root() + QStringLiteral("/keys");
        key = folder + QStringLiteral("/orvi");
        QStringList arguments { QStringLiteral("--generate-key"), folder };
        if (password.isEmpty())
            arguments << QStringLiteral("--no-password");
        else
            qputenv("ORVI_SIGNING_PASSWORD", password);
        QCOMPARE(mkpackage(arguments, &output), 0);
        QVERIFY2(output.contains("-DORVI_UPDATE_PUBLIC_KEYS=RW"), output.constData());
        QCOMPARE(QFile::permissions(key + QStringLiteral(".key")) & 0x7077,
            QFile::ReadOwner | QFile::WriteOwner);
        // A second key pair never replaces the first.
        QByteArray errors;
        QCOMPARE(
            mkpackage({ QStringLiteral("--generate-key"), folder, QStringLiteral("--no-password") },
                nullptr, &errors),
            1);
        QVERIFY2(errors.contains("exists already"), errors.constData());
    }
    const QString package = m_environment->root() + QLatin1Char('/') + PackageFile;
    const QString signature = package + QStringLiteral(".minisig");
    const QStringList signing = packageArguments(package)
        + QStringList { QStringLiteral("--version"), QStringLiteral("2.0"),
              QStringLiteral("--sign"), key + QStringLiteral(".key") };
    if (!password.isEmpty()) {
        qputenv("ORVI_SIGNING_PASSWORD", "wrong");
        QByteArray errors;
        QCOMPARE(mkpackage(signing, nullptr, &errors), 1);
        QVERIFY2(errors.contains("Wrong password"), errors.constData());
        QVERIFY(!QFile::exists(package));
        qputenv("ORVI_SIGNING_PASSWORD", password);
    }
    QCOMPARE(
        mkpackage(signing + QStringList { QStringLiteral("--delta"), QStringLiteral("1.0") }), 0);

    QProcess check;
    check.start(minisign,
        { QStringLiteral("-V"), QStringLiteral("-p"), key + QStringLiteral(".pub"),
            QStringLiteral("-m"), package });
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
    QVERIFY(check.readAllStandardOutput().contains(
        "Trusted comment: orvi-package project=orvi name=core type=app version=2.0 "
        "file=core-2.0.zip"));
    PackageSignature::PublicKey publicKey;
    QVERIFY(PackageSignature::parsePublicKey(
        TestEnvironment::readFile(key + QStringLiteral(".pub")).split('\n').value(1), &publicKey));
    QString errorText;
    QCOMPARE(PackageSignature(TestEnvironment::readFile(signature))
                 .verify(TestSigning::hashOf(package), { publicKey },
                     { "orvi", "core", "app", "2.0", PackageFile.toUtf8() }, &errorText),
        PackageSignature::Result::Verified);
    // The delta's signature names its base, so it passes neither for the whole package nor for
    // a delta from another version.
    const QString delta = m_environment->root() + QStringLiteral("/core-2.0-from-1.0.zip");
    const PackageSignature deltaSignature(
        TestEnvironment::readFile(delta + QStringLiteral(".minisig")));
    TrustedComment offer { "orvi", "core", "app", "2.0", "core-2.0-from-1.0.zip", "1.0" };
    QCOMPARE(deltaSignature.verify(TestSigning::hashOf(delta), { publicKey }, offer),
        PackageSignature::Result::Verified);
    for (const QByteArray &otherBase : { QByteArray("1.1"), QByteArray() }) {
        offer.base = otherBase;
        QCOMPARE(deltaSignature.verify(TestSigning::hashOf(delta), { publicKey }, offer),
            PackageSignature::Result::OtherBase);
    }

    // An unsigned rebuild takes the signature of the earlier package away.
    QByteArray errors;
    QCOMPARE(mkpackage(packageArguments(package), nullptr, &errors), 0);
    QVERIFY(!QFile::exists(signature));
}

// What mkpackage --delegate writes, checked by Debian's minisign (the updater's check of it has
// tests of its own).
void tst_MkPackage::delegatesServerKey()
{
    const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty())
        QSKIP("minisign is not installed (scripts/install-deps.sh installs it)");
    const QString statement = m_environment->root() + QStringLiteral("/server.delegation");
    const QString server = TestSigning::keyFile(QStringLiteral("server"), ".pub");
    QCOMPARE(mkpackage({ QStringLiteral("--delegate"), server, QStringLiteral("--sign"),
                 TestSigning::keyFile(QStringLiteral("test"), ".key"), QStringLiteral("--output"),
                 statement }),
        0);
    // The signed message is the key's line, as sed -n 2p prints it.
    const QString message = m_environment->root() + QStringLiteral("/server.keyline");
    QVERIFY(TestEnvironment::writeFile(
        message, TestEnvironment::readFile(server).split('\n').value(1) + '\n'));
    QProcess check;
    check.start(minisign,
        { QStringLiteral("-V"), QStringLiteral("-p"),
            TestSigning::keyFile(QStringLiteral("test"), ".pub"), QStringLiteral("-m"), message,
            QStringLiteral("-x"), statement });
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
    QVERIFY(check.readAllStandardOutput().contains(
        "Trusted comment: orvi-server-key key=903FFA4AEDFBB509 expires="));
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_MkPackage)

#include "tst_mkpackage.moc"
