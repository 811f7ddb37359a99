#include "entrybuilder.h"
#include "inventoryversions.h"
#include "packageacceptance.h"
#include "platform.h"
#include "testenvironment.h"
#include "testsigning.h"
#include "updateentry.h"
#include "versionrecords.h"

#include <QtTest>

#include <memory>

/*
 * A downloaded package may be unpacked only when signed by a known key, for exactly the
 * offered component, version and file, and not older than what is installed; or unsigned
 * where that is allowed.
 */
class tst_PackageAcceptance : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void packageIsJudged_data();
    void packageIsJudged();
    void olderThanInstalledIsRefused_data();
    void olderThanInstalledIsRefused();

private:
    std::unique_ptr<TestEnvironment> m_environment;
    QString m_root;
};

void tst_PackageAcceptance::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_root = m_environment->root() + QStringLiteral("/app");
}

void tst_PackageAcceptance::cleanup()
{
    m_environment.reset();
}

void tst_PackageAcceptance::packageIsJudged_data()
{
    QTest::addColumn<QString>("signer"); // empty: unsigned
    QTest::addColumn<QByteArray>("comment"); // empty: the offer's
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<bool>("unsignedAllowed");
    QTest::addColumn<QByteArray>("installed"); // the version recorded for the root
    QTest::addColumn<QString>("refusal"); // empty: accepted

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
    QTest::newRow("signed but altered where unsigned is allowed")
        << test << none << QStringLiteral("flip") << testKey << true << none
        << QStringLiteral("altered");
    QTest::newRow("one flipped byte") << test << none << QStringLiteral("flip") << testKey << false
                                      << none << QStringLiteral("altered");
    QTest::newRow("another key") << QStringLiteral("other") << none << QString() << testKey << false
                                 << none << QStringLiteral("unknown key");
    QTest::newRow("unsigned") << QString() << none << QString() << testKey << false << none
                              << QStringLiteral("not signed");
#ifndef Q_OS_WIN
    // A legacy signature is made with minisign's -l, and minisign is a Linux program.
    QTest::newRow("legacy") << test << none << QStringLiteral("legacy") << testKey << false << none
                            << QStringLiteral("legacy");
#endif
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
        << QStringLiteral("Its version 2.0 is older than version 2.10, which is already "
                          "installed.");
}

void tst_PackageAcceptance::packageIsJudged()
{
    QFETCH(QString, signer);
    QFETCH(QByteArray, comment);
    QFETCH(QString, change);
    QFETCH(QStringList, keys);
    QFETCH(bool, unsignedAllowed);
    QFETCH(QByteArray, installed);
    QFETCH(QString, refusal);

    // The check looks at the file's hash only; what the bytes hold is the installer's concern.
    const QString file = m_environment->root() + QStringLiteral("/served/core-2.0.zip");
    QVERIFY(TestEnvironment::writeFile(file, QByteArray("package bytes ").repeated(100)));
    QByteArray signature;
    if (!signer.isEmpty()) {
        signature = TestSigning::sign(file,
            comment.isEmpty() ? TestSigning::comment("core", "2.0", "core-2.0.zip") : comment,
            signer,
            change == QLatin1String("legacy") ? QStringList { QStringLiteral("-l") }
                                              : QStringList());
        QVERIFY(!signature.isEmpty());
    }
    if (change == QLatin1String("flip")) {
        QByteArray bytes = TestEnvironment::readFile(file);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
        QVERIFY(TestEnvironment::writeFile(file, bytes));
    }
    if (!installed.isEmpty()) {
        QVERIFY(VersionRecords(Platform::stateFolder())
                    .record({ { m_root, "orvi", "core", "app", installed } }));
    }
    QList<PackageSignature::PublicKey> publicKeys;
    for (const QString &name : keys)
        publicKeys << TestSigning::publicKey(name);
    const std::unique_ptr<UpdateEntry> entry = EntryBuilder()
                                                   .link("http://updates.example/core-2.0.zip?v=2")
                                                   .signature(signature)
                                                   .build();

    const QString text = PackageAcceptance(publicKeys, unsignedAllowed, m_root)
                             .refusal(*entry, TestSigning::hashOf(file));
    if (refusal.isEmpty()) {
        QVERIFY2(text.isEmpty(), qPrintable(text));
        return;
    }
    QVERIFY2(
        text.startsWith(QStringLiteral("The package core was refused and nothing was installed. "))
            && text.contains(refusal),
        qPrintable(text));
}

void tst_PackageAcceptance::olderThanInstalledIsRefused_data()
{
    // Recording 2.10: "good", "cut" short, a "link" to a good one, "root link": for the root
    // under the name of a link to it.
    QTest::addColumn<QString>("versionsFile");
    QTest::addColumn<QByteArray>("inventory");
    QTest::addColumn<QString>("floor"); // named in the refusal; empty: accepted

    const QByteArray core = R"(<component project="orvi" name="core" type="app" version=")";
    QTest::newRow("no record, newer inventory")
        << QString() << core + "2.1\"/>" << QStringLiteral("2.1");
    QTest::newRow("no record, older inventory among other things")
        << QString() << "build 7 <host/>" + core + "1.9\" os=\"x\"></component>" << QString();
    QTest::newRow("inventory without versions")
        << QString() << QByteArray(R"(<component project="orvi" name="core" type="app"/>)")
        << QString();
    QTest::newRow("inventory not well-formed") << QString() << core + "2.1\"/><x" << QString();
    QTest::newRow("record newer than the inventory")
        << QStringLiteral("good") << core + "1.0\"/>" << QStringLiteral("2.10");
    QTest::newRow("damaged versions file, newer inventory")
        << QStringLiteral("cut") << core + "2.1\"/>" << QStringLiteral("2.1");
#ifndef Q_OS_WIN
    // Windows makes shortcuts, not links, of QFile::link.
    QTest::newRow("linked versions file, no inventory")
        << QStringLiteral("link") << QByteArray() << QString();
    QTest::newRow("root recorded through a link")
        << QStringLiteral("root link") << QByteArray() << QStringLiteral("2.10");
#endif
}

// The main application's own report of what is installed counts where no record does.
void tst_PackageAcceptance::olderThanInstalledIsRefused()
{
    QFETCH(QString, versionsFile);
    QFETCH(QByteArray, inventory);
    QFETCH(QString, floor);

    const QString file = m_environment->root() + QStringLiteral("/served/core-2.0.zip");
    QVERIFY(TestEnvironment::writeFile(file, QByteArray("package bytes ").repeated(100)));
    const QByteArray signature
        = TestSigning::sign(file, TestSigning::comment("core", "2.0", "core-2.0.zip"));
    const QString link = m_environment->root() + QStringLiteral("/link");
    const bool rootLink = versionsFile == QLatin1String("root link");
    QVERIFY(QDir().mkpath(m_root) && QDir().mkpath(Platform::stateFolder())
        && (!rootLink || QFile::link(m_root, link)));
    const QString recordedRoot = rootLink ? link : m_root;
    const QByteArray versions = "orvi-versions 1\n"
        + VersionRecords::toText({ { recordedRoot, "orvi", "core", "app", "2.10" } }) + "end\n";
    const QString path = Platform::stateFolder() + QStringLiteral("/versions");
    const QString good = m_environment->root() + QStringLiteral("/good");
    if (versionsFile == QLatin1String("link"))
        QVERIFY(TestEnvironment::writeFile(good, versions) && QFile::link(good, path));
    else if (!versionsFile.isEmpty())
        QVERIFY(TestEnvironment::writeFile(
            path, versionsFile == QLatin1String("cut") ? versions.chopped(1) : versions));
    const std::unique_ptr<UpdateEntry> entry
        = EntryBuilder().link("http://updates.example/core-2.0.zip").signature(signature).build();
    PackageAcceptance acceptance({ TestSigning::publicKey(QStringLiteral("test")) }, false, m_root);
    acceptance.setReportedVersions(InventoryVersions::read(inventory));

    QCOMPARE(acceptance.refusal(*entry, TestSigning::hashOf(file)),
        floor.isEmpty() ? QString()
                        : QStringLiteral("The package core was refused and nothing was installed. "
                                         "Its version 2.0 is older than version %1, which is "
                                         "already installed.")
                              .arg(floor));
}

QTEST_GUILESS_MAIN(tst_PackageAcceptance)
#include "tst_packageacceptance.moc"
