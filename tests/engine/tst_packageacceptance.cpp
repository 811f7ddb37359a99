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
    QTest::addColumn<QByteArray>("recorded"); // empty: no versions file
    QTest::addColumn<bool>("damaged"); // the versions file cut short
    QTest::addColumn<QByteArray>("inventory");
    QTest::addColumn<QString>("floor"); // the version named in the refusal; empty: accepted

    const QByteArray none;
    const auto reported = [](const char *version) {
        return QByteArray(R"(<component project="orvi" name="core" type="app" version=")") + version
            + "\"/>";
    };
    QTest::newRow("no record, newer inventory")
        << none << false << reported("2.1") << QStringLiteral("2.1");
    QTest::newRow("no record, older inventory") << none << false << reported("1.9") << QString();
    QTest::newRow("inventory without versions")
        << none << false << QByteArray(R"(<component project="orvi" name="core" type="app"/>)")
        << QString();
    QTest::newRow("record newer than the inventory")
        << QByteArray("2.10") << false << reported("1.0") << QStringLiteral("2.10");
    QTest::newRow("damaged versions file, newer inventory")
        << QByteArray("2.10") << true << reported("2.1") << QStringLiteral("2.1");
    QTest::newRow("damaged versions file, no inventory")
        << QByteArray("2.10") << true << none << QString();
}

// The main application's own report of what is installed counts where no record does.
void tst_PackageAcceptance::olderThanInstalledIsRefused()
{
    QFETCH(QByteArray, recorded);
    QFETCH(bool, damaged);
    QFETCH(QByteArray, inventory);
    QFETCH(QString, floor);

    const QString file = m_environment->root() + QStringLiteral("/served/core-2.0.zip");
    QVERIFY(TestEnvironment::writeFile(file, QByteArray("package bytes ").repeated(100)));
    const QByteArray signature
        = TestSigning::sign(file, TestSigning::comment("core", "2.0", "core-2.0.zip"));
    QVERIFY(!signature.isEmpty());
    if (!recorded.isEmpty()) {
        const QByteArray versions = "orvi-versions 1\n"
            + VersionRecords::toText({ { m_root, "orvi", "core", "app", recorded } }) + "end\n";
        QVERIFY(TestEnvironment::writeFile(Platform::stateFolder() + QStringLiteral("/versions"),
            damaged ? versions.chopped(1) : versions));
    }
    const std::unique_ptr<UpdateEntry> entry
        = EntryBuilder().link("http://updates.example/core-2.0.zip").signature(signature).build();
    PackageAcceptance acceptance({ TestSigning::publicKey(QStringLiteral("test")) }, false, m_root);
    acceptance.setReportedVersions(InventoryVersions::read(inventory));

    const QString text = acceptance.refusal(*entry, TestSigning::hashOf(file));

    const QString expected = floor.isEmpty() ? QString()
                                             : QStringLiteral("The package core was refused and "
                                                              "nothing was installed. Its version "
                                                              "2.0 is older than version %1, which "
                                                              "is already installed.")
                                                   .arg(floor);
    QCOMPARE(text, expected);
}

QTEST_GUILESS_MAIN(tst_PackageAcceptance)
#include "tst_packageacceptance.moc"
