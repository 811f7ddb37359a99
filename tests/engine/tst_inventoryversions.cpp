#include "inventoryversions.h"

#include <QtTest>

class tst_InventoryVersions : public QObject
{
    Q_OBJECT

private slots:
    void versionOf_data();
    void versionOf();
};

void tst_InventoryVersions::versionOf_data()
{
    QTest::addColumn<QByteArray>("inventory");
    QTest::addColumn<QByteArray>("version"); // of orvi/core/app; empty: no floor

    const QByteArray core = R"(<component project="orvi" name="core" type="app" version="2.1"/>)";
    QTest::newRow("as the sample application prints it")
        << QByteArray(R"(<component project="orvi" name="emoticons" type="plugin" version="9"/>)"
                      "\n")
            + core + "\n"
        << QByteArray("2.1");
    QTest::newRow("other elements, attributes and text ignored") << QByteArray(
        R"(build 7 <host os="x"/><component version="2.1" extra="" project="orvi" )"
        R"(name="core" type="app"><note/></component>)") << QByteArray("2.1");
    QTest::newRow("no versions") << QByteArray(
        R"(<component project="orvi" name="core" type="app"/>)")
                                 << QByteArray();
    QTest::newRow("another type only")
        << QByteArray(R"(<component project="orvi" name="core" type="plugin" version="3"/>)")
        << QByteArray();
    QTest::newRow("reported twice: the newer counts")
        << QByteArray(R"(<component project="orvi" name="core" type="app" version="2.10"/>)") + core
        << QByteArray("2.10");
    QTest::newRow("not well-formed") << core + "<component" << QByteArray();
    QTest::newRow("not UTF-8") << core + "\xe9" << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_InventoryVersions::versionOf()
{
    QFETCH(QByteArray, inventory);
    QFETCH(QByteArray, version);

    QCOMPARE(InventoryVersions::read(inventory).versionOf("orvi", "core", "app"), version);
}

QTEST_APPLESS_MAIN(tst_InventoryVersions)
#include "tst_inventoryversions.moc"
