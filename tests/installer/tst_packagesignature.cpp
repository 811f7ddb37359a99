#include "packagesignature.h"
#include "testenvironment.h"
#include "testsigning.h"

#include <QtTest>

Q_DECLARE_METATYPE(PackageSignature::Result)

namespace {

// What the offer names; the rows sign other values to see them refused.
TrustedComment offered()
{
    return { "orvi", "core", "app", "2.0", "core-2.0.zip" };
}

} // namespace

class tst_PackageSignature : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void verify_data();
    void verify();
    void percentEncoding_data();
    void percentEncoding();
    void publicKeys();

private:
    std::unique_ptr<TestEnvironment> m_environment;
};

void tst_PackageSignature::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
}

void tst_PackageSignature::cleanup()
{
    m_environment.reset();
}

void tst_PackageSignature::verify_data()
{
    using Result = PackageSignature::Result;
    QTest::addColumn<QString>("signer"); // empty: no signature
    QTest::addColumn<QByteArray>("comment"); // empty: minisign's own
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("builtIn");
    QTest::addColumn<Result>("result");
    QTest::addColumn<QString>("reason");

    const QByteArray right = offered().toText();
    const QStringList testKey { QStringLiteral("test") };
    const QStringList bothKeys { QStringLiteral("test"), QStringLiteral("other") };
    const QString test = QStringLiteral("test");
    // What the engine refuses as a download ends is checked there, each case once; these
    // rows are what only the reading of the signature shows.
    QTest::newRow("signed") << test << right << QString() << testKey << Result::Verified
                            << QString();
    QTest::newRow("two keys, the first")
        << test << right << QString() << bothKeys << Result::Verified << QString();
    QTest::newRow("carriage returns, blanks and blank lines")
        << test << right << QStringLiteral("crlf") << testKey << Result::Verified << QString();
    QTest::newRow("cut short") << test << right << QStringLiteral("cut") << testKey
                               << Result::Malformed << QStringLiteral("cannot be read");
    QTest::newRow("not base64") << test << right << QStringLiteral("garble") << testKey
                                << Result::Malformed << QStringLiteral("cannot be read");
    QTest::newRow("trusted comment replaced")
        << test << TrustedComment { "orvi", "core", "app", "1.0", "core-2.0.zip" }.toText()
        << QStringLiteral("comment") << testKey << Result::ForgedComment
        << QStringLiteral("tampered");
    QTest::newRow("minisign's comment") << test << QByteArray() << QString() << testKey
                                        << Result::NotAPackage << QStringLiteral("not for");
    QTest::newRow("a field more") << test << right + " signer=me" << QString() << testKey
                                  << Result::NotAPackage << QStringLiteral("not for");
    QTest::newRow("another type")
        << test << TrustedComment { "orvi", "core", "plugin", "2.0", "core-2.0.zip" }.toText()
        << QString() << testKey << Result::OtherComponent << QStringLiteral("another component");
}

void tst_PackageSignature::verify()
{
    QFETCH(QString, signer);
    QFETCH(QByteArray, comment);
    QFETCH(QString, change);
    QFETCH(QStringList, builtIn);
    QFETCH(PackageSignature::Result, result);
    QFETCH(QString, reason);

    const QString package = m_environment->root() + QStringLiteral("/core-2.0.zip");
    QVERIFY(TestEnvironment::writeFile(package, QByteArray(300 * 1024, 'p')));
    QByteArray text;
    if (!signer.isEmpty()) {
        text = TestSigning::sign(package, comment, signer);
        QVERIFY(!text.isEmpty());
    }
    QList<QByteArray> lines = text.split('\n');
    if (change == QLatin1String("crlf")) {
        text = "\r\n\n  " + lines.join("  \r\n\t") + "\n \n";
    } else if (change == QLatin1String("cut")) {
        text = lines.mid(0, 3).join('\n');
    } else if (change == QLatin1String("garble")) {
        lines[1].replace(10, 1, "!");
        text = lines.join('\n');
    } else if (change == QLatin1String("comment")) {
        lines[2] = "trusted comment: " + offered().toText();
        text = lines.join('\n');
    }

    QList<PackageSignature::PublicKey> keys;
    for (const QString &name : builtIn)
        keys << TestSigning::publicKey(name);
    QString errorText;
    QCOMPARE(
        PackageSignature(text).verify(TestSigning::hashOf(package), keys, offered(), &errorText),
        result);
    if (reason.isEmpty())
        QCOMPARE(errorText, QString());
    else
        QVERIFY2(errorText.contains(reason), qPrintable(errorText));
}

void tst_PackageSignature::percentEncoding_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("unreserved") << QByteArray("az-AZ_09.~") << QByteArray("az-AZ_09.~");
    QTest::newRow("blank, equals, percent") << QByteArray("a b=c%") << QByteArray("a%20b%3Dc%25");
    QTest::newRow("slash, plus, colon") << QByteArray("/+:") << QByteArray("%2F%2B%3A");
    QTest::newRow("UTF-8") << QByteArray("\xc5\xbc\xc3\xb3\xc5\x82w")
                           << QByteArray("%C5%BC%C3%B3%C5%82w");
    QTest::newRow("control bytes") << QByteArray("\n\x7f", 2) << QByteArray("%0A%7F");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_PackageSignature::percentEncoding()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, encoded);
    QCOMPARE(TrustedComment::percentEncoded(value), encoded);

    const TrustedComment odd { value, "n", "app", value, value + ".zip" };
    QCOMPARE(odd.toText(),
        "orvi-package project=" + encoded + " name=n type=app version=" + encoded
            + " file=" + encoded + ".zip");
    TrustedComment read;
    QVERIFY(TrustedComment::fromText(odd.toText(), &read));
    QVERIFY(read == odd);
}

void tst_PackageSignature::publicKeys()
{
    PackageSignature::PublicKey key;
    const QByteArray test
        = TestEnvironment::readFile(QStringLiteral(ORVI_TEST_KEYS_DIR "/test.pub"));
    QVERIFY(PackageSignature::parsePublicKey(test.split('\n').value(1), &key));
    // The id minisign names in the key file's comment.
    QVERIFY(test.startsWith("untrusted comment: minisign public key "
        + PackageSignature::keyIdText(key.id).toLatin1() + '\n'));
    QVERIFY(!PackageSignature::parsePublicKey(test.split('\n').value(1).chopped(4), &key));
    QVERIFY(!PackageSignature::parsePublicKey(QByteArray(56, 'A'), &key));
    // A build has keys, or installs unsigned packages; the keys come through the build intact.
    QVERIFY(
        !PackageSignature::builtInKeys().isEmpty() || PackageSignature::unsignedPackagesAllowed());
}

QTEST_GUILESS_MAIN(tst_PackageSignature)

#include "tst_packagesignature.moc"
