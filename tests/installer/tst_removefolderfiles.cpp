#include "foldersnapshot.h"
#include "platform.h"
#include "removefolderfiles.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class tst_RemoveFolderFiles : public QObject
{
    Q_OBJECT

private slots:
    void deletesFilesKeepsFolders();
    void neverFollowsLinks();
    void sparesTheUpdatersOwnFiles();
};

void tst_RemoveFolderFiles::deletesFilesKeepsFolders()
{
    TestEnvironment environment;
    const QString folder = environment.root() + QStringLiteral("/tupdates/");
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("pkg.zip"), "zip"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("P/unwind/x.dll"), "x"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral(".hidden"), "h"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral(".cache/inner"), "i"));

    removeFolderFiles(folder);

    const QMap<QString, QByteArray> expected { { QStringLiteral("P"), "<dir>" },
        { QStringLiteral("P/unwind"), "<dir>" }, { QStringLiteral(".cache"), "<dir>" } };
    const QMap<QString, QByteArray> after = FolderSnapshot::take(folder);
    QVERIFY2(after == expected, qPrintable(FolderSnapshot::describeDifference(expected, after)));
}

void tst_RemoveFolderFiles::neverFollowsLinks()
{
    TestEnvironment environment;
    const QString folder = environment.root() + QStringLiteral("/tupdates");
    const QString outside = environment.root() + QStringLiteral("/outside");
    QVERIFY(TestEnvironment::writeFile(outside + QStringLiteral("/precious.txt"), "keep"));
    QVERIFY(TestEnvironment::writeFile(outside + QStringLiteral("/deeper/also.txt"), "keep"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("/P/x.dll"), "x"));
    QVERIFY(QFile::link(outside, folder + QStringLiteral("/P/folder-link")));
    QVERIFY(QFile::link(
        outside + QStringLiteral("/precious.txt"), folder + QStringLiteral("/file-link")));
    QVERIFY(QFile::link(environment.root() + QStringLiteral("/nowhere"),
        folder + QStringLiteral("/dangling-link")));
    const QMap<QString, QByteArray> outsideBefore = FolderSnapshot::take(outside);

    removeFolderFiles(folder);

    QCOMPARE(FolderSnapshot::take(outside), outsideBefore);
    QCOMPARE(FolderSnapshot::take(folder),
        (QMap<QString, QByteArray> { { QStringLiteral("P"), "<dir>" } }));
}

void tst_RemoveFolderFiles::sparesTheUpdatersOwnFiles()
{
    TestEnvironment environment;
    const QString folder = Platform::downloadFolder();
    QVERIFY(folder.startsWith(environment.root()));
    const QString own = folder + Platform::relocationFiles().first();
    QVERIFY(TestEnvironment::writeFile(own, "running updater"));
    QVERIFY(TestEnvironment::writeFile(folder + QStringLiteral("pkg.zip"), "zip"));
    // The same name below a package folder is no file of the updater.
    QVERIFY(TestEnvironment::writeFile(
        folder + QStringLiteral("P/") + Platform::relocationFiles().first(), "x"));
    QVERIFY(Platform::isOwnFile(own));

    removeFolderFiles(folder);

    QCOMPARE(FolderSnapshot::take(folder),
        (QMap<QString, QByteArray> { { QStringLiteral("P"), "<dir>" },
            { Platform::relocationFiles().first(),
                QCryptographicHash::hash("running updater", QCryptographicHash::Sha256)
                    .toHex() } }));
}

QTEST_GUILESS_MAIN(tst_RemoveFolderFiles)
#include "tst_removefolderfiles.moc"
