#include "filesystem.h"
#include "folder.h"
#include "platform.h"
#include "testenvironment.h"
#include "updateserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

class tst_Platform : public QObject
{
    Q_OBJECT

private slots:
    void downloadFolderIsBelowTemp();
#ifndef Q_OS_WIN
    // Unix modes, owners and links of the cache home's folder.
    void downloadFolderIsPrivate();
    void unsafeFolderIsRefused_data();
    void unsafeFolderIsRefused();
    void foldersAboveAreChecked_data();
    void foldersAboveAreChecked();
    void openedFolderStaysWhereItWasChecked_data();
    void openedFolderStaysWhereItWasChecked();
#else
    void reparsePointIsRefused_data();
    void reparsePointIsRefused();
#endif
    void relocationListStartsWithUpdater();
    void appDataFolder_data();
    void appDataFolder();
    void ownFilesAreSpared();
    void detachedStarterSeam();
    void updateServer_data();
    void updateServer();
};

void tst_Platform::downloadFolderIsBelowTemp()
{
    TestEnvironment environment;
    QCOMPARE(Platform::downloadFolder(), environment.tempFolder() + QStringLiteral("/tupdates/"));
}

#ifndef Q_OS_WIN
void tst_Platform::downloadFolderIsPrivate()
{
    TestEnvironment environment;
    QCOMPARE(Platform::tempFolder(), environment.cacheHome() + QStringLiteral("/orvi-updater"));
    QCOMPARE(Platform::prepareDownloadFolder(), QString());
    QCOMPARE(Platform::prepareStateFolder(), QString());
    for (const QString &folder :
        { Platform::tempFolder(), Platform::downloadFolder(), Platform::stateFolder() }) {
        struct stat status;
        QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, mode_t(0700));
    }
    // A second start finds them as it left them.
    QCOMPARE(Platform::prepareDownloadFolder(), QString());

    qunsetenv("XDG_CACHE_HOME");
    QCOMPARE(Platform::tempFolder(), QDir::homePath() + QStringLiteral("/.cache/orvi-updater"));
}

void tst_Platform::unsafeFolderIsRefused_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("how");

    for (const char *which : { "orvi-updater", "tupdates", "state" }) {
        for (const char *how : { "link", "other owner", "group-writable", "world-writable" })
            QTest::addRow("%s: %s", which, how)
                << QString::fromLatin1(which) << QString::fromLatin1(how);
    }
}

// Another local user who made the folder first must not get the victim's files touched, nor
// freeze or clear the record of installed versions.
void tst_Platform::unsafeFolderIsRefused()
{
    QFETCH(QString, which);
    QFETCH(QString, how);

    TestEnvironment environment;
    const bool state = which == QLatin1String("state");
    const QString folder = state             ? Platform::stateFolder()
        : which == QLatin1String("tupdates") ? Platform::downloadFolder().chopped(1)
                                             : Platform::tempFolder();
    QVERIFY(QDir().mkpath(QFileInfo(folder).path()));
    const QByteArray path = QFile::encodeName(folder);
    const QString elsewhere = environment.root() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
    if (how == QLatin1String("link")) {
        QVERIFY(QFile::link(elsewhere, folder));
    } else {
        QCOMPARE(::mkdir(path.constData(), 0700), 0);
        if (how == QLatin1String("other owner"))
            QCOMPARE(::chown(path.constData(), ::geteuid() + 1, ::getegid()), 0);
        else
            QCOMPARE(
                ::chmod(path.constData(), how == QLatin1String("group-writable") ? 0770 : 0707), 0);
    }
    const QString before
        = QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden).join(QLatin1Char(','));

    const QString refusal
        = state ? Platform::prepareStateFolder() : Platform::prepareDownloadFolder();

    QVERIFY2(refusal.contains(folder), qPrintable(refusal));
    QCOMPARE(
        QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden).join(QLatin1Char(',')), before);
}

void tst_Platform::foldersAboveAreChecked_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("otherOwner");
    QTest::addColumn<bool>("refused");

    QTest::newRow("another user's") << 0755 << true << true;
    QTest::newRow("group-writable") << 0775 << false << true;
    QTest::newRow("world-writable") << 0777 << false << true;
    QTest::newRow("world-writable, sticky") << 01777 << false << false;
    QTest::newRow("another user's, sticky") << 01777 << true << true;
}

// Whoever may rename what a folder above holds could swap the download folder after any check.
void tst_Platform::foldersAboveAreChecked()
{
    QFETCH(int, mode);
    QFETCH(bool, otherOwner);
    QFETCH(bool, refused);

    TestEnvironment environment;
    const QString above = QFileInfo(environment.cacheHome()).canonicalPath();
    const QByteArray path = QFile::encodeName(above);
    QCOMPARE(::chmod(path.constData(), mode_t(mode)), 0);
    if (otherOwner)
        QCOMPARE(::chown(path.constData(), ::geteuid() + 1, ::getegid()), 0);

    const QString refusal = Platform::prepareDownloadFolder();

    QCOMPARE(refusal.isEmpty(), !refused);
    if (refused) {
        QVERIFY2(refusal.contains(above + QLatin1Char(' ')), qPrintable(refusal));
        QVERIFY(!QFileInfo::exists(Platform::tempFolder()));
    }
}

void tst_Platform::openedFolderStaysWhereItWasChecked_data()
{
    QTest::addColumn<QString>("swapped");

    QTest::newRow("cache home") << QStringLiteral("cache");
    QTest::newRow("scratch folder") << QStringLiteral("cache/orvi-updater");
    QTest::newRow("download folder") << QStringLiteral("cache/orvi-updater/tupdates");
}

// The user may still rename their own folders: what the run does goes where it was checked.
void tst_Platform::openedFolderStaysWhereItWasChecked()
{
    QFETCH(QString, swapped);

    TestEnvironment environment;
    QCOMPARE(environment.cacheHome(), environment.root() + QStringLiteral("/cache"));
    Folder download;
    QCOMPARE(Platform::prepareDownloadFolder(&download), QString());
    const QString elsewhere = environment.root() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(elsewhere + QStringLiteral("/cache/orvi-updater/tupdates")));
    const QString moved = environment.root() + QStringLiteral("/moved");
    const QString folder = environment.root() + QLatin1Char('/') + swapped;
    QVERIFY(QDir().rename(folder, moved));
    QVERIFY(QFile::link(elsewhere + QLatin1Char('/') + swapped, folder));

    const FileSystem::Handle handle = download.create(QStringLiteral("p.zip"));
    QVERIFY2(handle >= 0, qPrintable(FileSystem::errorText()));
    QVERIFY(FileSystem::close(handle, QStringLiteral("p.zip")));
    QVERIFY(download.rename(QStringLiteral("p.zip"), QStringLiteral("journal")));

    QCOMPARE(
        QDir(elsewhere + QStringLiteral("/cache/orvi-updater/tupdates")).entryList(QDir::Files),
        QStringList());
    const QString inMoved
        = moved + QStringLiteral("cache/orvi-updater/tupdates").mid(swapped.size());
    QCOMPARE(QDir(inMoved).entryList(QDir::Files), QStringList { QStringLiteral("journal") });
}

#else

void tst_Platform::reparsePointIsRefused_data()
{
    QTest::addColumn<QString>("name"); // in the temporary folder
    QTest::newRow("download folder") << QStringLiteral("tupdates");
    QTest::newRow("a package folder in it, after the check") << QStringLiteral("tupdates/P");
}

// A junction or link in place of the download folder, or of a folder in it, would send the
// files elsewhere.
void tst_Platform::reparsePointIsRefused()
{
    QFETCH(QString, name);
    TestEnvironment environment;
    const QString elsewhere = environment.root() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
    const bool inside = name.contains(QLatin1Char('/'));
    if (inside)
        QVERIFY(environment.confineDownloadFolder());
    else
        QVERIFY(QDir().mkpath(Platform::tempFolder()));
    const QString folder = Platform::tempFolder() + QLatin1Char('/') + name;
    if (!::CreateSymbolicLinkW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(folder).utf16()),
            reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(elsewhere).utf16()),
            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        QSKIP("this system makes no reparse points here");

    const DWORD attributes
        = ::GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(folder).utf16()));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        QSKIP("this system makes no reparse points here");
    if (!inside) {
        const QString refusal = Platform::prepareDownloadFolder();
        QVERIFY2(refusal.contains(folder), qPrintable(refusal));
        return;
    }
    QCOMPARE(FileSystem::create(folder + QStringLiteral("/x.dll")), -1);
    QVERIFY(!FileSystem::makeFolder(folder + QStringLiteral("/unwind")));
    QCOMPARE(FileSystem::kindOf(folder + QStringLiteral("/x.dll")), FileSystem::Kind::Link);
    QVERIFY(QDir(elsewhere).isEmpty());
}

#endif

void tst_Platform::relocationListStartsWithUpdater()
{
    QStringList files = Platform::relocationFiles();
    QVERIFY(!files.isEmpty());
    QCOMPARE(files.first(), Platform::updaterFileName());
    QCOMPARE(files.removeDuplicates(), 0);
}

void tst_Platform::appDataFolder_data()
{
    QTest::addColumn<QByteArray>("appData");
    QTest::addColumn<bool>("fromEnvironment");

    QTest::newRow("APPDATA set") << QByteArray("/home/ala/AppData/Roaming") << true;
    QTest::newRow("APPDATA unset") << QByteArray() << false;
}

void tst_Platform::appDataFolder()
{
    QFETCH(QByteArray, appData);
    QFETCH(bool, fromEnvironment);

    TestEnvironment environment;
    const QByteArray old = qgetenv("APPDATA");
    if (appData.isEmpty())
        qunsetenv("APPDATA");
    else
        qputenv("APPDATA", appData);
#ifndef Q_OS_WIN
    // Only the exact upper-case name counts (Windows' names know no case).
    qputenv("appdata", "/wrong");
#endif

    const QString folder = Platform::appDataFolder();

#ifndef Q_OS_WIN
    qunsetenv("appdata");
#endif
    if (old.isEmpty())
        qunsetenv("APPDATA");
    else
        qputenv("APPDATA", old);

    if (fromEnvironment)
        QCOMPARE(folder, QString::fromLocal8Bit(appData));
#ifdef Q_OS_WIN
    else
        QCOMPARE(folder, QString());
#else
    else
        QCOMPARE(folder, environment.root() + QStringLiteral("/data"));
#endif
}

void tst_Platform::ownFilesAreSpared()
{
    TestEnvironment environment;
    const QString download = Platform::downloadFolder();
    QVERIFY(TestEnvironment::writeFile(download + Platform::updaterFileName(), "copy"));
    QVERIFY(TestEnvironment::writeFile(download + QStringLiteral("pkg.zip"), "package"));
    QVERIFY(TestEnvironment::writeFile(
        download + QStringLiteral("P/") + Platform::updaterFileName(), "payload"));

    QVERIFY(Platform::isOwnFile(download + Platform::updaterFileName()));
    QVERIFY(Platform::isOwnFile(QCoreApplication::applicationFilePath()));
    QVERIFY(!Platform::isOwnFile(download + QStringLiteral("pkg.zip")));
    QVERIFY(!Platform::isOwnFile(download + QStringLiteral("P/") + Platform::updaterFileName()));
    QVERIFY(!Platform::isOwnFile(download + QStringLiteral("missing")));
}

void tst_Platform::detachedStarterSeam()
{
    QString program;
    QStringList arguments;
    Platform::setDetachedStarter([&](const QString &p, const QStringList &a) {
        program = p;
        arguments = a;
        return false;
    });
    const bool started
        = Platform::startDetached(QStringLiteral("/opt/orvi/orvi7.exe"), { QStringLiteral("-x") });
    Platform::setDetachedStarter(nullptr);

    QVERIFY(!started);
    QCOMPARE(program, QStringLiteral("/opt/orvi/orvi7.exe"));
    QCOMPARE(arguments, QStringList { QStringLiteral("-x") });
    QVERIFY(!Platform::startDetached(QStringLiteral("/nonexistent/orvi7.exe"), {}));
}

void tst_Platform::updateServer_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("host and port")
        << QStringLiteral("127.0.0.1:8443") << QStringLiteral("127.0.0.1") << 8443;
    QTest::newRow("host alone") << QStringLiteral("staging.orvi.example")
                                << QStringLiteral("staging.orvi.example") << 443;
    QTest::newRow("bad port keeps host")
        << QStringLiteral("staging:http") << QStringLiteral("staging") << 443;
    QTest::newRow("port out of range")
        << QStringLiteral("staging:70000") << QStringLiteral("staging") << 443;
    QTest::newRow("IPv6 literal") << QStringLiteral("[::1]:9000") << QStringLiteral("::1") << 9000;
}

void tst_Platform::updateServer()
{
    QFETCH(QString, value);
    QFETCH(QString, host);
    QFETCH(int, port);

    const UpdateServer parsed = UpdateServer::parse(value);
    QCOMPARE(parsed.host(), host);
    QCOMPARE(int(parsed.port()), port);

    qputenv("ORVI_UPDATE_SERVER", value.toUtf8());
    const UpdateServer fromEnvironment = UpdateServer::fromEnvironment();
    qunsetenv("ORVI_UPDATE_SERVER");
    QCOMPARE(fromEnvironment.host(), host);
    QCOMPARE(int(fromEnvironment.port()), port);
    QCOMPARE(int(UpdateServer::fromEnvironment().port()), 443);
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
