#include "applicationfolder.h"
#include "foldersnapshot.h"
#include "installationjournal.h"
#include "installationrun.h"
#include "journaltriage.h"
#include "platform.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(JournalTriage::Finding)

/*
 * What an earlier run left, mended or damaged in the ways a crash, a disk or a user damages
 * it: a replace of lib/x.dll ("new" in the root, "old" backed up in core/unwind/) under an
 * unfinished journal. Whatever the journal's state, the backup is never lost.
 */
class tst_JournalTriage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sortOut_data();
    void sortOut();
    void recoveryStaysInsideItsFolders_data();
    void recoveryStaysInsideItsFolders();

private:
    std::unique_ptr<TestEnvironment> m_environment;
    QString m_download;
    QString m_root;
    QString m_journal;
};

void tst_JournalTriage::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    QVERIFY(m_environment->confineDownloadFolder());
    m_download = QDir::cleanPath(Platform::downloadFolder());
    m_root = m_environment->root() + QStringLiteral("/app");
    m_journal = InstallationJournal::filePath(m_download);
    QVERIFY(ApplicationFolder::make(m_root));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/lib/x.dll"), "new"));
    QVERIFY(
        TestEnvironment::writeFile(m_download + QStringLiteral("/core/unwind/lib/x.dll"), "old"));
}

void tst_JournalTriage::cleanup()
{
    m_environment.reset();
}

void tst_JournalTriage::sortOut_data()
{
    using Finding = JournalTriage::Finding;
    QTest::addColumn<QString>("change");
    QTest::addColumn<Finding>("finding");

    QTest::newRow("whole") << QString() << Finding::Usable;
    QTest::newRow("previous format") << QStringLiteral("format 1") << Finding::Usable;
    QTest::newRow("cut short") << QStringLiteral("cut") << Finding::SetAside;
    QTest::newRow("empty") << QStringLiteral("empty") << Finding::SetAside;
    QTest::newRow("edited") << QStringLiteral("edited") << Finding::SetAside;
    QTest::newRow("no journal, backups left") << QStringLiteral("gone") << Finding::SetAside;
    QTest::newRow("no journal, emptied folders left")
        << QStringLiteral("gone emptied") << Finding::Usable;
    QTest::newRow("another installation") << QStringLiteral("other") << Finding::OtherInstallation;
    QTest::newRow("another installation that no longer exists")
        << QStringLiteral("other gone") << Finding::SetAside;
#ifndef Q_OS_WIN
    QTest::newRow("replaced by a link") << QStringLiteral("link") << Finding::SetAside;
#endif
}

void tst_JournalTriage::sortOut()
{
    QFETCH(QString, change);
    QFETCH(JournalTriage::Finding, finding);

    const QString other = m_environment->root() + QStringLiteral("/other");
    QVERIFY(ApplicationFolder::make(other));
    const QString owner = change.startsWith(QLatin1String("other")) ? other : m_root;
    PlanStep step;
    step.kind = PlanStep::Kind::Replace;
    step.target = m_root + QStringLiteral("/lib/x.dll");
    step.backup = m_download + QStringLiteral("/core/unwind/lib/x.dll");
    step.temporary = m_root + QStringLiteral("/lib/.x.dll.orvi-new");
    InstallationJournal journal(m_download);
    QVERIFY(journal.begin({ owner, QString() }));
    QVERIFY(journal.addPackage(QStringLiteral("core"), { step }));
    QByteArray text = TestEnvironment::readFile(m_journal);
    if (change == QLatin1String("format 1")) {
        text = "orvi-journal 1\npackage core\nstep replace " + QUrl::toPercentEncoding(step.target)
            + ' ' + QUrl::toPercentEncoding(step.backup) + " -\nend\n";
    } else if (change == QLatin1String("cut")) {
        text.chop(text.size() / 3);
    } else if (change == QLatin1String("empty")) {
        text.clear();
    } else if (change == QLatin1String("edited")) {
        text.replace("x.dll", "y.dll");
    } else if (change == QLatin1String("other gone")) {
        QVERIFY(QFile::remove(ApplicationFolder::mainProgram(other)));
    }
    QVERIFY(QFile::remove(m_journal));
    if (change == QLatin1String("link")) {
        QVERIFY(TestEnvironment::writeFile(m_environment->root() + QStringLiteral("/j"), text));
        QVERIFY(QFile::link(m_environment->root() + QStringLiteral("/j"), m_journal));
    } else if (!change.startsWith(QLatin1String("gone"))) {
        QVERIFY(TestEnvironment::writeFile(m_journal, text));
    }
    if (change == QLatin1String("gone emptied"))
        QVERIFY(QFile::remove(step.backup));
    const auto before = FolderSnapshot::take(m_download, true);

    const JournalTriage::Result result = JournalTriage::sortOut(m_download, m_root);

    QCOMPARE(result.finding, finding);
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/lib/x.dll")), QByteArray("new"));
    if (finding == JournalTriage::Finding::SetAside) {
        QCOMPARE(QFileInfo(result.keptFolder).path(), QFileInfo(m_download).path());
        QCOMPARE(
            TestEnvironment::readFile(result.keptFolder + QStringLiteral("/core/unwind/lib/x.dll")),
            QByteArray("old"));
        QVERIFY(!QFileInfo::exists(m_download + QStringLiteral("/core")));
        QCOMPARE(InstallationJournal::state(m_download), InstallationJournal::State::None);
        return;
    }
    QCOMPARE(FolderSnapshot::take(m_download, true), before);
    if (finding == JournalTriage::Finding::OtherInstallation) {
        QCOMPARE(result.otherFolder, other);
        return;
    }
    if (change == QLatin1String("gone emptied"))
        return;
    // The recovery can use what it found.
    QStringList unrestored;
    QCOMPARE(InstallationRun::recover(m_download, m_root, &unrestored),
        InstallationRun::Outcome::RolledBack);
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/lib/x.dll")), QByteArray("old"));
}

void tst_JournalTriage::recoveryStaysInsideItsFolders_data()
{
    QTest::addColumn<bool>("formerFormat");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("backup");

    const QString outside = QStringLiteral("/profile");
    const QString planted = QStringLiteral("/core/unwind/profile");
    for (const bool former : { false, true }) {
        const char *format = former ? "previous format" : "current format";
        QTest::addRow("%s: target elsewhere", format) << former << outside << planted;
        QTest::addRow("%s: target climbing out", format)
            << former << QStringLiteral("/app/../profile") << planted;
        QTest::addRow("%s: backup elsewhere", format)
            << former << QStringLiteral("/app/lib/x.dll") << QStringLiteral("/planted");
    }
}

// A journal planted or edited to have the recovery move a file of its choice over one of the
// user's: paths are taken from below the environment's root (target) and the download folder
// (backup), except for "/planted".
void tst_JournalTriage::recoveryStaysInsideItsFolders()
{
    QFETCH(bool, formerFormat);
    QFETCH(QString, target);
    QFETCH(QString, backup);

    const QString profile = m_environment->root() + QStringLiteral("/profile");
    QVERIFY(TestEnvironment::writeFile(profile, "mine"));
    QVERIFY(
        TestEnvironment::writeFile(m_download + QStringLiteral("/core/unwind/profile"), "evil"));
    QVERIFY(TestEnvironment::writeFile(m_environment->root() + QStringLiteral("/planted"), "evil"));
    PlanStep step;
    step.kind = PlanStep::Kind::Replace;
    step.target = m_environment->root() + target;
    step.backup
        = (backup == QLatin1String("/planted") ? m_environment->root() : m_download) + backup;
    if (formerFormat) {
        QVERIFY(TestEnvironment::writeFile(m_journal,
            "orvi-journal 1\npackage core\nstep replace " + QUrl::toPercentEncoding(step.target)
                + ' ' + QUrl::toPercentEncoding(step.backup) + " -\nend\n"));
    } else {
        InstallationJournal journal(m_download);
        QVERIFY(journal.begin({ m_root, QString() }));
        QVERIFY(journal.addPackage(QStringLiteral("core"), { step }));
    }
    const auto before = FolderSnapshot::take(m_environment->root(), true);

    QStringList unrestored;
    QCOMPARE(InstallationRun::recover(m_download, m_root, &unrestored),
        InstallationRun::Outcome::RollbackFailed);

    QCOMPARE(unrestored, QStringList { m_journal });
    QCOMPARE(FolderSnapshot::take(m_environment->root(), true), before);
}

QTEST_GUILESS_MAIN(tst_JournalTriage)
#include "tst_journaltriage.moc"
