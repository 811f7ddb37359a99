#include "applicationarguments.h"
#include "boxrecorder.h"
#include "entrybuilder.h"
#include "fakehttpserver.h"
#include "foldersnapshot.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "quitrecorder.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "testsigning.h"
#include "updateentry.h"
#include "versionrecords.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

/*
 * A downloaded package is checked before anything of it is unpacked: signed by a known key,
 * for exactly the offered component, version and file, and not older than what is installed.
 */
class tst_PackageCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_server.listen()); }
    void init();
    void cleanup();

    void downloadedPackageIsChecked_data();
    void downloadedPackageIsChecked();
    void versionIsRecordedOnlyByACompletedRun();

private:
    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    FakeHttpServer m_server;
    QString m_root;
    BoxRecorder m_recorder;
};

void tst_PackageCheck::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_root = m_environment->root() + QStringLiteral("/app");
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/orvi7.exe"), "main"));
    QVERIFY(TestEnvironment::writeFile(m_root + QStringLiteral("/lib.dll"), "old"));
    ApplicationArguments::set(
        { QStringLiteral("/x/updater"), QStringLiteral("-u"), QStringLiteral("-root"), m_root });
    m_engine = std::make_unique<OrviUpdaterEngine>();
    m_engine->setSigningKeys({ TestSigning::publicKey(QStringLiteral("test")) });
    m_engine->setUnsignedPackagesAllowed(false);
    // A failed run is abandoned, never started again.
    m_recorder.setAnswer([](const MessageBoxHandler::Box &box) {
        return box.buttons.testFlag(QMessageBox::Abort) ? QMessageBox::Abort
                                                        : MessageBoxHandler::defaultAnswer(box);
    });
    Platform::setDetachedStarter([](const QString &, const QStringList &) {
        qWarning("the update was started again");
        return false;
    });
}

void tst_PackageCheck::cleanup()
{
    Platform::setDetachedStarter(nullptr);
    m_engine.reset();
    m_environment.reset();
}

void tst_PackageCheck::downloadedPackageIsChecked_data()
{
    QTest::addColumn<QString>("signer"); // empty: unsigned
    QTest::addColumn<QByteArray>("comment"); // empty: the offer's
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<bool>("unsignedAllowed");
    QTest::addColumn<QByteArray>("installed"); // the version recorded before the run
    QTest::addColumn<QString>("refusal"); // empty: the package installs

    const QString test = QStringLiteral("test");
    const QStringList testKey { test };
    const QByteArray none;
    const auto comment = TestSigning::comment;
    QTest::newRow("signed") << test << none << QString() << testKey << false << none << QString();
    QTest::newRow("second of two keys")
        << QStringLiteral("other") << none << QString()
        << QStringList { test, QStringLiteral("other") } << false << none << QString();
    QTest::newRow("reinstall of the installed version")
        << test << none << QString() << testKey << false << QByteArray("2.0") << QString();
    QTest::newRow("newer than the installed version")
        << test << none << QString() << testKey << false << QByteArray("1.9.9") << QString();
    QTest::newRow("unsigned where allowed")
        << QString() << none << QString() << testKey << true << none << QString();
    QTest::newRow("one flipped byte") << test << none << QStringLiteral("flip") << testKey << false
                                      << none << QStringLiteral("altered");
    QTest::newRow("another key") << QStringLiteral("other") << none << QString() << testKey << false
                                 << none << QStringLiteral("unknown key");
    QTest::newRow("unsigned") << QString() << none << QString() << testKey << false << none
                              << QStringLiteral("not signed");
    QTest::newRow("legacy") << test << none << QStringLiteral("legacy") << testKey << false << none
                            << QStringLiteral("legacy");
    QTest::newRow("another component")
        << test << comment("emoticons", "2.0", "core-2.0.zip") << QString() << testKey << false
        << none << QStringLiteral("another component");
    QTest::newRow("another version")
        << test << comment("core", "1.0", "core-2.0.zip") << QString() << testKey << false << none
        << QStringLiteral("version 1.0, not 2.0");
    QTest::newRow("another file") << test << comment("core", "2.0", "core-1.0.zip") << QString()
                                  << testKey << false << none << QStringLiteral("another file");
    QTest::newRow("replay of an older version")
        << test << none << QString() << testKey << false << QByteArray("2.10")
        << QStringLiteral("older than version 2.10");
}

void tst_PackageCheck::downloadedPackageIsChecked()
{
    QFETCH(QString, signer);
    QFETCH(QByteArray, comment);
    QFETCH(QString, change);
    QFETCH(QStringList, keys);
    QFETCH(bool, unsignedAllowed);
    QFETCH(QByteArray, installed);
    QFETCH(QString, refusal);
    const QString served = m_environment->root() + QStringLiteral("/served/core-2.0.zip");
    TestPackage package;
    package.addPackageElement(QStringLiteral("orvi"), QStringLiteral("core"), QStringLiteral("app"))
        .addFile(QString(), QStringLiteral("lib.dll"), "new")
        .addDescriptorEntry(TestPackage::descriptorEntryFor(QStringLiteral("/core-2.0.zip")));
    QVERIFY(package.write(served));
    QByteArray signature;
    if (!signer.isEmpty()) {
        signature = TestSigning::sign(served,
            comment.isEmpty() ? TestSigning::comment("core", "2.0", "core-2.0.zip") : comment,
            signer,
            change == QLatin1String("legacy") ? QStringList { QStringLiteral("-l") }
                                              : QStringList());
        QVERIFY(!signature.isEmpty());
    }
    QByteArray bytes = TestEnvironment::readFile(served);
    if (change == QLatin1String("flip"))
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
    m_server.setResponse("/core-2.0.zip", FakeHttpServer::Response::ok(bytes));

    QList<PackageSignature::PublicKey> builtIn;
    for (const QString &name : keys)
        builtIn << TestSigning::publicKey(name);
    m_engine->setSigningKeys(builtIn);
    m_engine->setUnsignedPackagesAllowed(unsignedAllowed);
    VersionRecords records(Platform::stateFolder());
    if (!installed.isEmpty())
        QVERIFY(records.record({ { m_root, "orvi", "core", "app", installed } }));
    m_engine->adoptUpdates({ EntryBuilder()
                                 .link(m_server.url(QStringLiteral("/core-2.0.zip")))
                                 .signature(signature)
                                 .make() });
    const QMap<QString, QByteArray> before = FolderSnapshot::take(m_root, true);

    QSignalSpy finished(m_engine.get(), &OrviUpdaterEngine::downloadFinished);
    QSignalSpy errors(m_engine.get(), &OrviUpdaterEngine::error);
    m_engine->beginDownload();
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() + errors.count() > 0, 20000);

    if (!refusal.isEmpty()) {
        QCOMPARE(finished.count(), 0);
        const QString text = errors.at(0).at(0).toString();
        QVERIFY2(text.contains(QLatin1String("package core")) && text.contains(refusal),
            qPrintable(text));
        // Nothing of it was kept, let alone unpacked.
        QVERIFY(QDir(m_engine->downloadFolder())
                    .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                    .isEmpty());
        const QMap<QString, QByteArray> after = FolderSnapshot::take(m_root, true);
        QVERIFY2(after == before, qPrintable(FolderSnapshot::describeDifference(before, after)));
        QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), installed);
        return;
    }
    QVERIFY2(errors.isEmpty(), qPrintable(errors.value(0).value(0).toString()));
    QuitRecorder::run([this] { m_engine->installUpdates(); });
    QVERIFY(m_engine->installSucceeded());
    QCOMPARE(TestEnvironment::readFile(m_root + QStringLiteral("/lib.dll")), QByteArray("new"));
    QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), QByteArray("2.0"));
}

void tst_PackageCheck::versionIsRecordedOnlyByACompletedRun()
{
    // A run that fails records nothing; a completed journal whose versions never reached the
    // records (a crash in between) has them recorded by the next start.
    const QString folder = m_engine->downloadFolder();
    m_engine->adoptUpdates({ EntryBuilder().make() });
    QuitRecorder::run([this] { m_engine->installUpdates(); });
    QVERIFY(!m_engine->installSucceeded());
    VersionRecords records(Platform::stateFolder());
    QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), QByteArray());

    InstallationJournal journal(folder);
    QVERIFY(journal.begin());
    QVERIFY(journal.finish(true, { { m_root, "orvi", "core", "app", "2.5" } }));
    QStringList unrestored;
    QCOMPARE(InstallationRun::recover(folder, &unrestored), InstallationRun::Outcome::NotRun);
    QCOMPARE(
        records.recorded(m_root + QStringLiteral("/"), "orvi", "core", "app"), QByteArray("2.5"));
    QCOMPARE(InstallationJournal::state(folder), InstallationJournal::State::None);
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_PackageCheck)

#include "tst_packagecheck.moc"
