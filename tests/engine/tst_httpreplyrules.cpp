#include "httpreplyrules.h"

#include <QtTest>

/*
 * Which header values a transfer trusts: a length only as one plain number, a partial answer
 * only where its range starts.
 */
class tst_HttpReplyRules : public QObject
{
    Q_OBJECT

private slots:
    void plainLength_data();
    void plainLength();
    void rangeStart_data();
    void rangeStart();
};

void tst_HttpReplyRules::plainLength_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("length");

    QTest::newRow("number") << QByteArray("5000") << qint64(5000);
    QTest::newRow("zero") << QByteArray("0") << qint64(0);
    QTest::newRow("beyond 4 GiB") << QByteArray("5000000000") << qint64(5000000000);
    QTest::newRow("empty") << QByteArray() << qint64(-1);
    QTest::newRow("trailing letter") << QByteArray("5000x") << qint64(-1);
    QTest::newRow("negative") << QByteArray("-1") << qint64(-1);
    QTest::newRow("two joined by Qt") << QByteArray("48, 5000") << qint64(-1);
    QTest::newRow("beyond 64 bits") << QByteArray("99999999999999999999") << qint64(-1);
}

void tst_HttpReplyRules::plainLength()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, length);
    QCOMPARE(HttpReplyRules::plainLength(value), length);
}

void tst_HttpReplyRules::rangeStart_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("start");

    QTest::newRow("range with length") << QByteArray("bytes 600-999/1000") << qint64(600);
    QTest::newRow("unknown length") << QByteArray("bytes 600-999/*") << qint64(600);
    QTest::newRow("blanks around") << QByteArray("  bytes  600-999/1000 ") << qint64(600);
    QTest::newRow("other unit") << QByteArray("items 600-999/1000") << qint64(-1);
    QTest::newRow("no dash") << QByteArray("bytes 600/1000") << qint64(-1);
    QTest::newRow("unsatisfied") << QByteArray("bytes */1000") << qint64(-1);
    QTest::newRow("empty") << QByteArray() << qint64(-1);
}

void tst_HttpReplyRules::rangeStart()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, start);
    QCOMPARE(HttpReplyRules::rangeStart(value), start);
}

QTEST_APPLESS_MAIN(tst_HttpReplyRules)
#include "tst_httpreplyrules.moc"
