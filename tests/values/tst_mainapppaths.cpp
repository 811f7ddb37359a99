#include "mainapppaths.h"

#include <QtTest>

class tst_MainAppPaths : public QObject
{
    Q_OBJECT

private slots:
    void rootFolder_data();
    void rootFolder();
};

void tst_MainAppPaths::rootFolder_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("folder");

    const QString program = QStringLiteral("updater");
    const QString root = QStringLiteral("-root");
    QTest::newRow("after -u") << QStringList { program, QStringLiteral("-u"), root,
        QStringLiteral("/opt/orvi") }
                              << true << QStringLiteral("/opt/orvi");
    QTest::newRow("missing") << QStringList { program, QStringLiteral("-u") } << false << QString();
    QTest::newRow("last") << QStringList { program, QStringLiteral("-u"), root } << false
                          << QString();
    QTest::newRow("first occurrence wins")
        << QStringList { program, root, QStringLiteral("/a"), root, QStringLiteral("/b") } << true
        << QStringLiteral("/a");
    QTest::newRow("folder named -root") << QStringList { program, root, root } << true << root;
    QTest::newRow("capitals do not match") << QStringList { program, QStringLiteral("-ROOT"),
        QStringLiteral("/a") } << false << QString();
    QTest::newRow("empty folder") << QStringList { program, root, QString() } << true << QString();
}

void tst_MainAppPaths::rootFolder()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, found);
    QFETCH(QString, folder);

    const std::optional<QString> result = MainAppPaths::rootFolder(arguments);
    QCOMPARE(result.has_value(), found);
    if (found)
        QCOMPARE(*result, folder);
}

QTEST_GUILESS_MAIN(tst_MainAppPaths)
#include "tst_mainapppaths.moc"
