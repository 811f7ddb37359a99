#include "packagedescriptor.h"

#include <QtTest>

using File = PackageDescriptor::File;
Q_DECLARE_METATYPE(QList<File>)

class tst_PackageDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
};

void tst_PackageDescriptor::read_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("errorLine");
    QTest::addColumn<int>("packages");
    QTest::addColumn<QList<File>>("files");

    QTest::newRow("package and files in order")
        << QByteArray("<package project=\"orvi\" name=\"core\" type=\"app\">\n"
                      "<file name=\"old.dll\" path=\"plugins\" action=\"remove\"/>\n"
                      "<file name=\"a &amp; b\" path=\"\" action=\"ADD\"/>\n</package>\n")
        << qint64(0) << 1
        << QList<File> { { QStringLiteral("old.dll"), QStringLiteral("plugins"),
                             QStringLiteral("remove") },
               { QStringLiteral("a & b"), QString(), QStringLiteral("add") } };
    QTest::newRow("files at any depth, missing attributes empty")
        << QByteArray("<x><y><file name=\"n\"/></y><package/><package/></x>") << qint64(0) << 2
        << QList<File> { { QStringLiteral("n"), QString(), QString() } };
    QTest::newRow("error keeps what came before")
        << QByteArray("<update>\n<file name=\"a\" action=\"add\"/>\n<file name=\"b\">\n"
                      "</update>\n")
        << qint64(4) << 0
        << QList<File> { { QStringLiteral("a"), QString(), QStringLiteral("add") },
               { QStringLiteral("b"), QString(), QString() } };
    QTest::newRow("empty") << QByteArray() << qint64(1) << 0 << QList<File>();
}

void tst_PackageDescriptor::read()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, errorLine);
    QFETCH(int, packages);
    QFETCH(QList<File>, files);

    const PackageDescriptor fromBytes = PackageDescriptor::read(bytes);
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const PackageDescriptor fromDevice = PackageDescriptor::read(&buffer);
    for (const PackageDescriptor &descriptor : { fromBytes, fromDevice }) {
        QCOMPARE(descriptor.isValid(), errorLine == 0);
        QCOMPARE(descriptor.errorLine(), errorLine);
        QCOMPARE(descriptor.packages().size(), packages);
        QCOMPARE(descriptor.files(), files);
    }
}

QTEST_GUILESS_MAIN(tst_PackageDescriptor)
#include "tst_packagedescriptor.moc"
