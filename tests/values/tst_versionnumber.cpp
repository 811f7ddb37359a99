#include "versionnumber.h"

#include <QtTest>

class tst_VersionNumber : public QObject
{
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
};

void tst_VersionNumber::compare_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");

    const auto row = [](const char *name, const char *a, const char *b, int order) {
        QTest::newRow(name) << QString::fromUtf8(a) << QString::fromUtf8(b) << order;
    };
    row("parts as numbers", "1.9", "1.10", -1);
    row("longer than any number type", "1.99999999999999999999", "1.100000000000000000000", -1);
    row("leading zeros", "1.002", "1.2", 0);
    row("missing part is 0", "2", "2.0.0", 0);
    row("empty part is 0", "2..1", "2.0.1", 0);
    row("trailing dot", "2.", "2", 0);
    row("surrounding spaces", " 2.0\t", "2", 0);
    row("one more part", "2.0", "2.0.1", -1);
    row("text parts as text", "2.0.beta", "2.0.rc", -1);
    row("digits before a longer text part", "2.9", "2.9a", -1);
    row("empty is 0", "", "0.1", -1);
}

void tst_VersionNumber::compare()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);

    QCOMPARE(VersionNumber::compare(a, b), order);
    QCOMPARE(VersionNumber::compare(b, a), -order);
}

QTEST_APPLESS_MAIN(tst_VersionNumber)
#include "tst_versionnumber.moc"
