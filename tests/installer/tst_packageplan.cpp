#include "foldersnapshot.h"
#include "packageplan.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

/*
 * Plans over small folders written directly: each row lays out a root and a package folder,
 * names the descriptor's file elements as "action:path:name" and expects the steps, written
 * as "kind target [backup B] [move|copy SOURCE]" relative to the test folder, or a refusal.
 */
class tst_PackagePlan : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
};

namespace {
QStringList texts(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items)
        list << QString::fromUtf8(item);
    return list;
}

// "path" is a file, "path/" a folder, "path -> target" a link.
bool lay(const QString &base, const QStringList &tree)
{
    for (const QString &item : tree) {
        const QString path = base + QLatin1Char('/') + item.section(QStringLiteral(" -> "), 0, 0);
        const bool ok = item.contains(QStringLiteral(" -> "))
            ? QFile::link(item.section(QStringLiteral(" -> "), 1), path)
            : item.endsWith(QLatin1Char('/')) ? QDir().mkpath(path)
                                              : TestEnvironment::writeFile(path, item.toUtf8());
        if (!ok)
            return false;
    }
    return true;
}

QList<PackageDescriptor::File> elements(const QStringList &texts)
{
    QList<PackageDescriptor::File> files;
    for (const QString &text : texts)
        files.append({ text.section(QLatin1Char(':'), 2), text.section(QLatin1Char(':'), 1, 1),
            text.section(QLatin1Char(':'), 0, 0) });
    return files;
}

QString describe(const PlanStep &step, const QDir &base)
{
    static const char *const kinds[] = { "create", "replace", "remove", "overwrite", "folder" };
    QString text = QLatin1String(kinds[int(step.kind)]) + QLatin1Char(' ')
        + base.relativeFilePath(step.target);
    if (!step.backup.isEmpty())
        text += QStringLiteral(" backup ") + base.relativeFilePath(step.backup);
    if (!step.source.isEmpty())
        text += (step.keepSource ? QStringLiteral(" copy ") : QStringLiteral(" move "))
            + base.relativeFilePath(step.source);
    return text;
}
} // namespace

void tst_PackagePlan::plan_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("error");
    const QStringList none;

    QTest::newRow("add where nothing was")
        << texts({ "package/x.dll" }) << texts({ "add::x.dll" }) << none
        << texts({ "create root/x.dll move package/x.dll" }) << QString();
    QTest::newRow("add into new folders")
        << texts({ "package/lib/deep/b.dll" }) << texts({ "add:lib/deep:b.dll" }) << none
        << texts({ "folder root/lib", "folder root/lib/deep",
               "create root/lib/deep/b.dll move package/lib/deep/b.dll" })
        << QString();
    QTest::newRow("add over a file")
        << texts({ "root/bin/x.dll", "package/bin/x.dll" }) << texts({ "add:bin:x.dll" }) << none
        << texts({ "replace root/bin/x.dll backup package/unwind/bin/x.dll move "
                   "package/bin/x.dll" })
        << QString();
    QTest::newRow("remove a file")
        << texts({ "root/bin/x.dll" }) << texts({ "remove:bin:x.dll" }) << none
        << texts({ "remove root/bin/x.dll backup package/unwind/bin/x.dll" }) << QString();
    QTest::newRow("remove an absent file")
        << none << texts({ "remove:bin:gone.dll" }) << none << none << QString();
    QTest::newRow("another action leaves the target alone")
        << texts({ "root/bin/x.dll", "package/bin/x.dll" })
        << texts({ "update:bin:x.dll", ":bin:x.dll" }) << none << none << QString();
    QTest::newRow("same target twice")
        << texts({ "root/bin/x.dll", "package/bin/x.dll" })
        << texts({ "add:bin:x.dll", "add:bin:x.dll" }) << none
        << texts({ "replace root/bin/x.dll backup package/unwind/bin/x.dll copy package/bin/x.dll",
               "overwrite root/bin/x.dll move package/bin/x.dll" })
        << QString();
    // Elements naming one payload name one target; only what existed before is backed up.
    QTest::newRow("payload used twice")
        << texts({ "root/a/x.dll", "package/a/x.dll", "package/b/y.dll" })
        << texts({ "add:a:x.dll", "remove:a:x.dll", "add:./a:x.dll", "remove:b:y.dll",
               "add:b:y.dll", "remove:b:y.dll", "add:b:y.dll" })
        << none
        << texts({ "replace root/a/x.dll backup package/unwind/a/x.dll copy package/a/x.dll",
               "overwrite root/a/x.dll", "overwrite root/a/x.dll move package/a/x.dll",
               "folder root/b", "create root/b/y.dll copy package/b/y.dll",
               "overwrite root/b/y.dll", "overwrite root/b/y.dll move package/b/y.dll" })
        << QString();
    QTest::newRow("names with the update's prefix are never placed")
        << texts({ "root/data/orvi_core_app.dat", "package/data/orvi_core_app.dat",
               "package/fresh/orvi_core_app.cfg" })
        << texts({ "add:data:orvi_core_app.dat", "add:fresh:orvi_core_app.cfg" }) << none
        << texts(
               { "remove root/data/orvi_core_app.dat backup package/unwind/data/orvi_core_app.dat",
                   "folder root/fresh" })
        << QString();
    QTest::newRow("targets outside the root are skipped")
        << texts({ "root2/", "package/f.dll" })
        << texts({ "add:../root2:f.dll", "add:..:f.dll", "add:bin/../../../x:f.dll",
               "remove:..:root" })
        << none << none << QString();
    QTest::newRow("dots resolved inside the root")
        << texts({ "package/lib/f.dll", "package/abs/f.dll" })
        << texts({ "add:./bin/../lib:f.dll", "add:/abs:f.dll" }) << none
        << texts({ "folder root/lib", "create root/lib/f.dll move package/lib/f.dll",
               "folder root/abs", "create root/abs/f.dll move package/abs/f.dll" })
        << QString();
    QTest::newRow("backup name taken earlier in the run")
        << texts({ "root/x.dll" }) << texts({ "remove::x.dll" })
        << texts({ "package/unwind/x.dll", "package/unwind/x.dll.~1" })
        << texts({ "remove root/x.dll backup package/unwind/x.dll.~2" }) << QString();
    QTest::newRow("backup name taken on disk")
        << texts({ "root/x.dll", "package/unwind/x.dll" }) << texts({ "remove::x.dll" }) << none
        << texts({ "remove root/x.dll backup package/unwind/x.dll.~1" }) << QString();

    QTest::newRow("a folder in the way")
        << texts({ "root/x.dll", "root/bin/x.dll/inner.txt", "package/bin/x.dll" })
        << texts({ "remove::x.dll", "add:bin:x.dll" }) << none << none
        << QStringLiteral("The package description names a folder or no file at all (bin/x.dll)!");
    QTest::newRow("a folder as payload")
        << texts({ "package/bin/x.dll/" }) << texts({ "add:bin:x.dll" }) << none << none
        << QStringLiteral("The package description names a folder or no file at all (bin/x.dll)!");
    QTest::newRow("no name") << none << texts({ "add:lib:" }) << none << none
                             << QStringLiteral(
                                    "The package description names a folder or no file at all "
                                    "(lib/)!");
    QTest::newRow("payload missing")
        << none << texts({ "add:bin:x.dll" }) << none << none
        << QStringLiteral("Cannot copy file <dir>/package/bin/x.dll to <dir>/root/bin/x.dll!");
    QTest::newRow("a file in the way of a folder")
        << texts({ "root/bin", "package/bin/x.dll" }) << texts({ "add:bin:x.dll" }) << none << none
        << QStringLiteral("Cannot copy file <dir>/root/bin to <dir>/root/bin/x.dll!");
#ifndef Q_OS_WIN
    // Symbolic links (Windows' shortcut files are plain files to the updater).
    QTest::newRow("a link leading out of the root")
        << texts({ "outside/", "root/lib -> ../outside", "package/lib/l.dll" })
        << texts({ "add:lib:l.dll" }) << none << none
        << QStringLiteral("The folder of <dir>/root/lib/l.dll lies outside the destination "
                          "folder!");
    QTest::newRow("a link inside the root")
        << texts({ "root/real/", "root/lib -> real", "package/lib/l.dll" })
        << texts({ "add:lib:l.dll" }) << none
        << texts({ "create root/lib/l.dll move package/lib/l.dll" }) << QString();
#endif
}

void tst_PackagePlan::plan()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, files);
    QFETCH(QStringList, taken);
    QFETCH(QStringList, steps);
    QFETCH(QString, error);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QDir base(folder.path());
    QVERIFY(lay(folder.path(), texts({ "root/", "package/" }) + tree));
    const auto before = FolderSnapshot::take(folder.path(), true);

    PackagePlan::Input input;
    input.rootFolder = folder.filePath(QStringLiteral("root"));
    input.packageFolder = folder.filePath(QStringLiteral("package/"));
    input.unwindFolder = input.packageFolder + QStringLiteral("/unwind/");
    input.updatePrefix = QStringLiteral("orvi_core_app");
    for (const QString &backup : std::as_const(taken))
        input.takenBackups.insert(folder.filePath(backup));
    const PackagePlan plan = PackagePlan::make(elements(files), input);

    QStringList described;
    for (const PlanStep &step : plan.steps())
        described << describe(step, base);
    QCOMPARE(described, steps);
    QCOMPARE(plan.errorText(), error.replace(QStringLiteral("<dir>"), folder.path()));
    QCOMPARE(plan.isValid(), error.isEmpty());
    // Planning only looks.
    QCOMPARE(FolderSnapshot::take(folder.path(), true), before);
}

QTEST_GUILESS_MAIN(tst_PackagePlan)
#include "tst_packageplan.moc"
