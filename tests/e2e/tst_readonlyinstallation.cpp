#include "applicationfolder.h"
#include "foldersnapshot.h"
#include "runlock.h"
#include "servedupdate.h"
#include "testenvironment.h"
#include "testpackage.h"

#include <QDir>
#include <QDirIterator>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

/*
 * An installation for all users, started by a user who may not change it, while an update is
 * on offer: before the offer window (with "-q", before the download) a critical box names the
 * folder and says that this user cannot change it; exit code 1; nothing is downloaded and
 * nothing changes. The user is real: on Linux a second uid, started by this test (as root);
 * on Windows the test itself runs as a second uid in its own Wine prefix, where a folder of
 * root's is one it cannot change (see cmake/wine-run-other-user.sh.in).
 */
class tst_ReadOnlyInstallation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedBeforeTheOffer_data();
    void refusedBeforeTheOffer();

private:
    std::unique_ptr<TestEnvironment> m_environment;
    QString m_app;
    QString m_otherScratch;
};

namespace {
#ifndef Q_OS_WIN
// A uid and gid no account has: another local user, without adding one to the machine.
constexpr uid_t OtherUser = 48123;
#endif
} // namespace

void tst_ReadOnlyInstallation::initTestCase()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
#ifdef Q_OS_WIN
    m_app = qEnvironmentVariable("ORVI_TEST_FOREIGN_INSTALLATION");
    if (m_app.isEmpty())
        QSKIP("needs a second user; cmake/wine-run-other-user.sh.in gives it");
    m_otherScratch = m_environment->tempFolder();
#else
    if (::geteuid() != 0)
        QSKIP("another user's start needs root to change its uid");
    // The folders on the way to the installation are open to every user, as real ones are.
    QVERIFY(::chmod(QFile::encodeName(m_environment->root()).constData(), 0755) == 0);
    m_app = m_environment->root() + QStringLiteral("/Orvi Messenger");
    QVERIFY(ApplicationFolder::makeWithSample(m_app));
    QVERIFY(TestEnvironment::writeFile(m_app + QStringLiteral("/components"), "orvi core app 1\n"));
    QVERIFY(::chmod(QFile::encodeName(m_app).constData(), 0755) == 0);
    const QString otherCache = m_environment->root() + QStringLiteral("/other-cache");
    QVERIFY(QDir().mkpath(otherCache));
    QVERIFY(::chown(QFile::encodeName(otherCache).constData(), OtherUser, OtherUser) == 0);
    m_otherScratch = otherCache + QStringLiteral("/orvi-updater");
#endif
    QVERIFY2(QFileInfo::exists(ApplicationFolder::mainProgram(m_app)), qPrintable(m_app));
#ifdef Q_OS_WIN
    QFile probe(m_app + QStringLiteral("/probe"));
    QVERIFY2(!probe.open(QIODevice::WriteOnly), "this user can change the installation");
#endif
}

void tst_ReadOnlyInstallation::refusedBeforeTheOffer_data()
{
    QTest::addColumn<bool>("quiet");
    // A run of a user who may change the installation holds its lock meanwhile.
    QTest::addColumn<bool>("held");
    QTest::newRow("offer window") << false << false;
    QTest::newRow("quiet download") << true << false;
#ifndef Q_OS_WIN
    QTest::newRow("quiet download, while another run holds the installation") << true << true;
#endif
}

void tst_ReadOnlyInstallation::refusedBeforeTheOffer()
{
    QFETCH(bool, quiet);
    QFETCH(bool, held);

    // Not waited for: this user could not update the installation anyway.
    RunLock otherRun;
    if (held)
        QCOMPARE(otherRun.acquire(m_environment->root() + QStringLiteral("/root.lock"), m_app, 0),
            RunLock::Result::Locked);
    ServedUpdate update(m_environment->root() + QStringLiteral("/staging"));
    QVERIFY(update.isValid());
    TestPackage core;
    core.addFile(QString(), QStringLiteral("core.dll"), "core 2")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    QVERIFY(update.add("core", core));
    const auto before = FolderSnapshot::take(m_app, true);

    QProcessEnvironment environment = update.environment();
    // Under Wine the other user runs a copy where it can reach it (see the script above).
    QString program = qEnvironmentVariable(
        "ORVI_TEST_UPDATER_COPY", QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY));
    QStringList arguments { QStringLiteral("-u"), QStringLiteral("-root"), m_app };
    if (quiet)
        arguments.prepend(QStringLiteral("-q"));
#ifndef Q_OS_WIN
    // The other user's homes are its own, as a real user's are.
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), QFileInfo(m_otherScratch).path());
    environment.insert(QStringLiteral("XDG_STATE_HOME"),
        QFileInfo(m_otherScratch).path() + QStringLiteral("/state"));
    arguments = QStringList { QStringLiteral("--reuid=%1").arg(OtherUser),
        QStringLiteral("--regid=%1").arg(OtherUser), QStringLiteral("--clear-groups"), program }
        + arguments;
    program = QStringLiteral("setpriv");
#endif
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.start(program, arguments);
    QVERIFY2(updater.waitForStarted(), qPrintable(updater.errorString()));
    QSignalSpy finished(&updater, &QProcess::finished);
    // An offer window would keep it running until this wait gives up.
    QVERIFY2(finished.wait(60000), "the updater did not end by itself");

    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 1);
    const QStringList boxes = QString::fromUtf8(updater.readAllStandardOutput())
                                  .split(QLatin1Char('\n'))
                                  .filter(QRegularExpression(QStringLiteral("^box ")));
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.constFirst().startsWith(QStringLiteral("box %1 ").arg(QMessageBox::Critical))
            && boxes.constFirst().contains(QDir::toNativeSeparators(m_app))
            && boxes.constFirst().contains(QLatin1String("this user cannot change")),
        qPrintable(boxes.constFirst()));
    QCOMPARE(update.packageRequests(), QStringList());
    QCOMPARE(FolderSnapshot::take(m_app, true), before);
    QDirIterator stored(m_otherScratch + QStringLiteral("/tupdates"), QDir::Files | QDir::Hidden,
        QDirIterator::Subdirectories);
    QVERIFY2(!stored.hasNext(), qPrintable(stored.hasNext() ? stored.next() : QString()));
}

QTEST_GUILESS_MAIN(tst_ReadOnlyInstallation)
#include "tst_readonlyinstallation.moc"
