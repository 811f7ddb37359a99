#include "packagesignature.h"
#include "testenvironment.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

Q_DECLARE_METATYPE(PackageSignature::Result)

namespace {

const QString KeysFolder = QStringLiteral(ORVI_TEST_KEYS_DIR);

// What the offer names; the rows sign other values to see them refused.
TrustedComment offered()
{
    return { "orvi", "core", "app", "2.0", "core-2.0.zip" };
}

PackageSignature::PublicKey publicKey(const QString &name)
{
    PackageSignature::PublicKey key;
    const QByteArray line
        = TestEnvironment::readFile(KeysFolder + QLatin1Char('/') + name + QStringLiteral(".pub"))
              .split('\n')
              .value(1);
    if (!PackageSignature::parsePublicKey(line, &key))
        qFatal("%s.pub is not a minisign public key", qPrintable(name));
    return key;
}

} // namespace

class tst_PackageSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void verify_data();
    void verify();
    void percentEncoding_data();
    void percentEncoding();
    void publicKeys();

private:
    QByteArray minisignSignature(const QString &file, const QString &key, const QByteArray &comment,
        const QStringList &extra = QStringList());

    QString m_minisign;
    std::unique_ptr<TestEnvironment> m_environment;
};

void tst_PackageSignature::initTestCase()
{
    m_minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
}

void tst_PackageSignature::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
}

void tst_PackageSignature::cleanup()
{
    m_environment.reset();
}

// The signature Debian's minisign writes for file with the test key named key.
QByteArray tst_PackageSignature::minisignSignature(
    const QString &file, const QString &key, const QByteArray &comment, const QStringList &extra)
{
    const QString signature = file + QStringLiteral(".minisig");
    QFile::remove(signature);
    QStringList arguments { QStringLiteral("-S"), QStringLiteral("-s"),
        KeysFolder + QLatin1Char('/') + key + QStringLiteral(".key"), QStringLiteral("-m"), file,
        QStringLiteral("-x"), signature };
    if (!comment.isEmpty())
        arguments << QStringLiteral("-t") << QString::fromUtf8(comment);
    QProcess process;
    process.start(m_minisign, arguments + extra);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        qWarning("minisign: %s", process.readAllStandardError().constData());
    return TestEnvironment::readFile(signature);
}

void tst_PackageSignature::verify_data()
{
    using Result = PackageSignature::Result;
    QTest::addColumn<QString>("signer"); // empty: no signature
    QTest::addColumn<QByteArray>("comment"); // empty: minisign's own
    QTest::addColumn<QStringList>("minisignOptions");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("builtIn");
    QTest::addColumn<Result>("result");
    QTest::addColumn<QString>("reason");

    const QByteArray right = offered().toText();
    const QStringList none;
    const QStringList testKey { QStringLiteral("test") };
    const QStringList bothKeys { QStringLiteral("test"), QStringLiteral("other") };
    const QString test = QStringLiteral("test");
    const QString other = QStringLiteral("other");
    QTest::newRow("signed") << test << right << none << QString() << testKey << Result::Verified
                            << QString();
    QTest::newRow("two keys, the first")
        << test << right << none << QString() << bothKeys << Result::Verified << QString();
    QTest::newRow("two keys, the second")
        << other << right << none << QString() << bothKeys << Result::Verified << QString();
    QTest::newRow("carriage returns, blanks and blank lines")
        << test << right << none << QStringLiteral("crlf") << testKey << Result::Verified
        << QString();
    QTest::newRow("one flipped byte")
        << test << right << none << QStringLiteral("flip") << testKey << Result::Altered
        << QStringLiteral("altered since it was signed");
    QTest::newRow("another key") << other << right << none << QString() << testKey
                                 << Result::UnknownKey << QStringLiteral("7D470E0265E4E138");
    QTest::newRow("unsigned") << QString() << right << none << QString() << testKey
                              << Result::Unsigned << QStringLiteral("not signed");
    QTest::newRow("legacy") << test << right << QStringList { QStringLiteral("-l") } << QString()
                            << testKey << Result::Legacy << QStringLiteral("legacy");
    QTest::newRow("cut short") << test << right << none << QStringLiteral("cut") << testKey
                               << Result::Malformed << QStringLiteral("cannot be read");
    QTest::newRow("not base64") << test << right << none << QStringLiteral("garble") << testKey
                                << Result::Malformed << QStringLiteral("cannot be read");
    QTest::newRow("trusted comment replaced")
        << test << TrustedComment { "orvi", "core", "app", "1.0", "core-2.0.zip" }.toText() << none
        << QStringLiteral("comment") << testKey << Result::ForgedComment
        << QStringLiteral("tampered");
    QTest::newRow("minisign's comment") << test << QByteArray() << none << QString() << testKey
                                        << Result::NotAPackage << QStringLiteral("not for");
    QTest::newRow("a field more") << test << right + " signer=me" << none << QString() << testKey
                                  << Result::NotAPackage << QStringLiteral("not for");
    QTest::newRow("another component")
        << test << TrustedComment { "orvi", "emoticons", "app", "2.0", "core-2.0.zip" }.toText()
        << none << QString() << testKey << Result::OtherComponent
        << QStringLiteral("another component (orvi emoticons app)");
    QTest::newRow("another type")
        << test << TrustedComment { "orvi", "core", "plugin", "2.0", "core-2.0.zip" }.toText()
        << none << QString() << testKey << Result::OtherComponent
        << QStringLiteral("another component");
    QTest::newRow("another version")
        << test << TrustedComment { "orvi", "core", "app", "1.0", "core-2.0.zip" }.toText() << none
        << QString() << testKey << Result::OtherVersion << QStringLiteral("version 1.0, not 2.0");
    QTest::newRow("another file")
        << test << TrustedComment { "orvi", "core", "app", "2.0", "core-1.0.zip" }.toText() << none
        << QString() << testKey << Result::OtherFile
        << QStringLiteral("another file (core-1.0.zip)");
}

void tst_PackageSignature::verify()
{
    QFETCH(QString, signer);
    QFETCH(QByteArray, comment);
    QFETCH(QStringList, minisignOptions);
    QFETCH(QString, change);
    QFETCH(QStringList, builtIn);
    QFETCH(PackageSignature::Result, result);
    QFETCH(QString, reason);
    if (m_minisign.isEmpty())
        QSKIP("minisign is not installed (scripts/install-deps.sh installs it)");

    const QString package = m_environment->root() + QStringLiteral("/core-2.0.zip");
    QByteArray contents(300 * 1024, 'p');
    QVERIFY(TestEnvironment::writeFile(package, contents));
    QByteArray text;
    if (!signer.isEmpty()) {
        text = minisignSignature(package, signer, comment, minisignOptions);
        QVERIFY(!text.isEmpty());
    }
    QList<QByteArray> lines = text.split('\n');
    if (change == QLatin1String("crlf")) {
        text = "\r\n\n  " + lines.join("  \r\n\t") + "\n \n";
    } else if (change == QLatin1String("flip")) {
        contents[200 * 1024] = 'q';
        QVERIFY(TestEnvironment::writeFile(package, contents));
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
        keys << publicKey(name);
    QString errorText;
    QCOMPARE(PackageSignature(text).verify(package, keys, offered(), &errorText), result);
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
    const QByteArray test = TestEnvironment::readFile(KeysFolder + QStringLiteral("/test.pub"));
    QVERIFY(PackageSignature::parsePublicKey(test.split('\n').value(1), &key));
    // The id minisign names in the key file's comment.
    QVERIFY(test.startsWith("untrusted comment: minisign public key "
        + PackageSignature::keyIdText(key.id).toLatin1() + '\n'));
    QVERIFY(!PackageSignature::parsePublicKey(test.split('\n').value(1).chopped(4), &key));
    QVERIFY(!PackageSignature::parsePublicKey(QByteArray(56, 'A'), &key));
    // A build has keys, or installs unsigned packages; the keys come through the build intact.
    QVERIFY(!PackageSignature::builtInKeys().isEmpty()
        || PackageSignature::unsignedPackagesAllowed());
}

QTEST_GUILESS_MAIN(tst_PackageSignature)

#include "tst_packagesignature.moc"
