#include "filesystem.h"
#include "foldersnapshot.h"
#include "planexecutor.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

/*
 * Steps performed and undone over small folders. Each row lays out files as "path=contents",
 * gives the steps as "kind target [backup B] [move|copy SOURCE]" relative to the test folder
 * and the root it expects after them; undoing must bring back the root as it was.
 */
class tst_PlanExecutor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void performAndUndo_data();
    void performAndUndo();
    void prepareMakesBackupFoldersAndModes();
    void prepareRefusesALinkInTheUnwindFolder();
    void undoOfMissingBackup();
    void undoSyncsEachFolderOnceAtTheEnd();

private:
    QVector<PlanStep> steps(const QStringList &texts) const;
    bool lay(const QStringList &files) const;
    QMap<QString, QByteArray> rootContents() const;

    std::unique_ptr<QTemporaryDir> m_folder;
};

namespace {
QStringList texts(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items)
        list << QString::fromUtf8(item);
    return list;
}
} // namespace

void tst_PlanExecutor::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

QVector<PlanStep> tst_PlanExecutor::steps(const QStringList &texts) const
{
    static const QStringList kinds { QStringLiteral("create"), QStringLiteral("replace"),
        QStringLiteral("remove"), QStringLiteral("overwrite"), QStringLiteral("folder") };
    QVector<PlanStep> steps;
    for (const QString &text : texts) {
        const QStringList words = text.split(QLatin1Char(' '));
        PlanStep step;
        step.kind = PlanStep::Kind(kinds.indexOf(words.at(0)));
        step.target = m_folder->filePath(words.at(1));
        step.named = words.at(1);
        const QString folder = step.target.section(QLatin1Char('/'), 0, -2);
        step.temporary = folder + QStringLiteral("/.") + step.target.section(QLatin1Char('/'), -1)
            + QStringLiteral(".orvi-new");
        for (int i = 2; i + 1 < words.size(); i += 2) {
            if (words.at(i) == QLatin1String("backup")) {
                step.backup = m_folder->filePath(words.at(i + 1));
            } else {
                step.source = m_folder->filePath(words.at(i + 1));
                step.keepSource = words.at(i) == QLatin1String("copy");
            }
        }
        steps << step;
    }
    return steps;
}

bool tst_PlanExecutor::lay(const QStringList &files) const
{
    for (const QString &file : files) {
        if (!TestEnvironment::writeFile(m_folder->filePath(file.section(QLatin1Char('='), 0, 0)),
                file.section(QLatin1Char('='), 1).toUtf8()))
            return false;
    }
    return QDir().mkpath(m_folder->filePath(QStringLiteral("root")))
        && QDir().mkpath(m_folder->filePath(QStringLiteral("package/unwind")));
}

QMap<QString, QByteArray> tst_PlanExecutor::rootContents() const
{
    return FolderSnapshot::take(m_folder->filePath(QStringLiteral("root")));
}

void tst_PlanExecutor::performAndUndo_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("create") << texts({ "package/x.dll=new" })
                            << texts({ "create root/x.dll move package/x.dll" })
                            << texts({ "root/x.dll=new" });
    QTest::newRow("replace") << texts({ "root/x.dll=old", "package/x.dll=new" })
                             << texts({ "replace root/x.dll backup package/unwind/x.dll move "
                                        "package/x.dll" })
                             << texts({ "root/x.dll=new" });
    QTest::newRow("remove") << texts({ "root/x.dll=old", "root/keep.dll=keep" })
                            << texts({ "remove root/x.dll backup package/unwind/x.dll" })
                            << texts({ "root/keep.dll=keep" });
    QTest::newRow("folders") << texts({ "package/lib/deep/a.dll=a" })
                             << texts({ "folder root/lib", "folder root/lib/deep",
                                    "create root/lib/deep/a.dll move package/lib/deep/a.dll" })
                             << texts({ "root/lib/deep/a.dll=a" });
    QTest::newRow("one payload twice")
        << texts({ "root/x.dll=old", "package/x.dll=new" })
        << texts({ "replace root/x.dll backup package/unwind/x.dll copy package/x.dll",
               "overwrite root/x.dll", "overwrite root/x.dll move package/x.dll" })
        << texts({ "root/x.dll=new" });
    QTest::newRow("created, then removed")
        << texts({ "package/y.dll=y" })
        << texts({ "create root/y.dll copy package/y.dll", "overwrite root/y.dll" }) << texts({});
}

void tst_PlanExecutor::performAndUndo()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, after);
    QVERIFY(lay(files));
    const auto before = rootContents();
    const QVector<PlanStep> plan = this->steps(steps);

    // An undo of steps never made (a journal written just before a crash) changes nothing.
    QCOMPARE(PlanExecutor::undo(plan), QStringList());
    QCOMPARE(rootContents(), before);

    PlanExecutor executor(plan, m_folder->filePath(QStringLiteral("package/")), {});
    QVERIFY2(executor.prepare() && executor.perform(), qPrintable(executor.errorText()));
    QMap<QString, QByteArray> expected;
    QTemporaryDir expectedFolder;
    for (const QString &file : std::as_const(after))
        QVERIFY(TestEnvironment::writeFile(
            expectedFolder.filePath(file.section(QLatin1Char('='), 0, 0)),
            file.section(QLatin1Char('='), 1).toUtf8()));
    QVERIFY(QDir().mkpath(expectedFolder.filePath(QStringLiteral("root"))));
    expected = FolderSnapshot::take(expectedFolder.filePath(QStringLiteral("root")));
    QCOMPARE(rootContents(), expected);

    QCOMPARE(executor.undo(), QStringList());
    const auto undone = rootContents();
    QVERIFY2(undone == before, qPrintable(FolderSnapshot::describeDifference(before, undone)));
    // Undone once more from the journal, after a crash during the undo, nothing changes.
    QCOMPARE(PlanExecutor::undo(plan), QStringList());
    QCOMPARE(rootContents(), before);
}

void tst_PlanExecutor::prepareMakesBackupFoldersAndModes()
{
    QVERIFY(lay(texts({ "root/deep/x.dll=old", "package/deep/x.dll=new" })));
    const QString target = m_folder->filePath(QStringLiteral("root/deep/x.dll"));
    const QFile::Permissions ownerOnly
        = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
    QVERIFY(QFile::setPermissions(target, ownerOnly));
    PlanExecutor executor(
        steps(texts({ "replace root/deep/x.dll backup package/unwind/deep/x.dll move "
                      "package/deep/x.dll" })),
        m_folder->filePath(QStringLiteral("package/")), {});
    const auto before = rootContents();
    QVERIFY(executor.prepare());
    // Readied in the package folder only.
    QVERIFY(QFileInfo(m_folder->filePath(QStringLiteral("package/unwind/deep"))).isDir());
    QCOMPARE(rootContents(), before);
    QVERIFY(executor.perform());
    QCOMPARE(TestEnvironment::readFile(target), QByteArray("new"));
#ifndef Q_OS_WIN
    // The replaced file's mode, which Windows does not keep.
    QCOMPARE(QFileInfo(target).permissions(), ownerOnly);
#endif
    QCOMPARE(
        TestEnvironment::readFile(m_folder->filePath(QStringLiteral("package/unwind/deep/x.dll"))),
        QByteArray("old"));
}

void tst_PlanExecutor::prepareRefusesALinkInTheUnwindFolder()
{
    QVERIFY(lay(texts({ "root/deep/x.dll=old", "outside/keep=keep" })));
    QVERIFY(QFile::link(m_folder->filePath(QStringLiteral("outside")),
        m_folder->filePath(QStringLiteral("package/unwind/deep"))));
    PlanExecutor executor(
        steps(texts({ "remove root/deep/x.dll backup package/unwind/deep/x.dll" })),
        m_folder->filePath(QStringLiteral("package/")), {});
    QVERIFY(!executor.prepare());
    QCOMPARE(executor.errorText(),
        QStringLiteral("Cannot back up file %1 to %2!")
            .arg(m_folder->filePath(QStringLiteral("root/deep/x.dll")),
                m_folder->filePath(QStringLiteral("package/unwind/deep/x.dll"))));
    QCOMPARE(TestEnvironment::readFile(m_folder->filePath(QStringLiteral("root/deep/x.dll"))),
        QByteArray("old"));
}

void tst_PlanExecutor::undoOfMissingBackup()
{
    QVERIFY(lay(texts(
        { "root/a.dll=old a", "root/b.dll=old b", "package/a.dll=new a", "package/b.dll=new b" })));
    PlanExecutor executor(
        steps(texts({ "replace root/a.dll backup package/unwind/a.dll move package/a.dll",
            "replace root/b.dll backup package/unwind/b.dll move package/b.dll" })),
        m_folder->filePath(QStringLiteral("package/")), {});
    QVERIFY(executor.prepare() && executor.perform());
    QVERIFY(QFile::remove(m_folder->filePath(QStringLiteral("package/unwind/b.dll"))));

    // The lost backup is named; the rest is still undone.
    QCOMPARE(executor.undo(),
        QStringList { m_folder->filePath(QStringLiteral("package/unwind/b.dll")) });
    QCOMPARE(TestEnvironment::readFile(m_folder->filePath(QStringLiteral("root/a.dll"))),
        QByteArray("old a"));
}

void tst_PlanExecutor::undoSyncsEachFolderOnceAtTheEnd()
{
    QStringList files;
    QStringList plan;
    for (const char *folder : { "a", "b" }) {
        for (int i = 0; i < 3; ++i) {
            const QString name = QStringLiteral("%1/x%2.dll").arg(QLatin1String(folder)).arg(i);
            files << QStringLiteral("root/%1=old").arg(name)
                  << QStringLiteral("package/%1=new").arg(name);
            plan << QStringLiteral("replace root/%1 backup package/unwind/%1 move package/%1")
                        .arg(name);
        }
    }
    QVERIFY(lay(files));
    PlanExecutor executor(steps(plan), m_folder->filePath(QStringLiteral("package/")), {});
    QVERIFY(executor.prepare() && executor.perform());

    QStringList operations;
    FileSystem::setFaultInjector([&](FileSystem::Operation operation, const QString &path,
                                     const QString &) {
        operations << (operation == FileSystem::Operation::Sync ? path : QStringLiteral("change"));
        return 0;
    });
    const QStringList failures = executor.undo();
    FileSystem::setFaultInjector(nullptr);

    QCOMPARE(failures, QStringList());
    // One rename a restored file, then each changed folder synced once, after the last change.
    QCOMPARE(operations.mid(0, 6), QStringList(6, QStringLiteral("change")));
    QStringList synced = operations.mid(6);
    synced.sort();
    QCOMPARE(synced,
        QStringList({ m_folder->filePath(QStringLiteral("root/a")),
            m_folder->filePath(QStringLiteral("root/b")) }));
}

QTEST_GUILESS_MAIN(tst_PlanExecutor)
#include "tst_planexecutor.moc"
