#include "updatequery.h"

#include "applicationfolder.h"

#include <QtTest>

class tst_UpdateQuery : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void request_data();
    void request();
    void runMainAppMergesChannels();
    void runMainAppThatCannotStart();
    void runMainAppKilledAfterTimeout();
};

void tst_UpdateQuery::commandLine_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("commandLine");

    QTest::newRow("plain") << QStringLiteral("/opt/orvi")
                           << QStringLiteral("\"/opt/orvi/orvi7.exe\" -updatequery");
    QTest::newRow("spaces") << QStringLiteral("C:/Program Files/Orvi")
                            << QStringLiteral("\"C:/Program Files/Orvi/orvi7.exe\" -updatequery");
    QTest::newRow("trailing separator kept doubled")
        << QStringLiteral("/opt/orvi/") << QStringLiteral("\"/opt/orvi//orvi7.exe\" -updatequery");
}

void tst_UpdateQuery::commandLine()
{
    QFETCH(QString, folder);
    QFETCH(QString, commandLine);

    QCOMPARE(UpdateQuery::commandLine(folder), commandLine);
}

void tst_UpdateQuery::request_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("text around the markers")
        << QByteArray("xx<s>ABC</s>yy") << QByteArray("<s>ABC</s>");
    QTest::newRow("inner markers kept")
        << QByteArray("a<s>1<s>2</s>3</s>b") << QByteArray("<s>1<s>2</s>3</s>");
    QTest::newRow("no closing marker") << QByteArray("<s>ABC") << QByteArray();
    QTest::newRow("no opening marker") << QByteArray("ABC</s>") << QByteArray();
    QTest::newRow("no output") << QByteArray() << QByteArray();
    QTest::newRow("empty inventory") << QByteArray("<s></s>") << QByteArray("<s></s>");
    QTest::newRow("last closing marker opens the output")
        << QByteArray("</s><s>ABC") << QByteArray();
    QTest::newRow("closing marker before the opening one runs to the end")
        << QByteArray("x</s><s>ABC") << QByteArray("<s>ABC</s>");
    QTest::newRow("byte E9 becomes C3 A9")
        << QByteArray("<s>caf\xe9</s>") << QByteArray("<s>caf\xc3\xa9</s>");
    QTest::newRow("UTF-8 input is encoded again")
        << QByteArray("<s>\xc3\xa9</s>") << QByteArray("<s>\xc3\x83\xc2\xa9</s>");
    QTest::newRow("zero byte kept")
        << QByteArray("<s>a\0b</s>", 10) << QByteArray("<s>a\0b</s>", 10);
    QTest::newRow("line ends kept")
        << QByteArray("<s>\r\nA\n</s>\n") << QByteArray("<s>\r\nA\n</s>");
}

void tst_UpdateQuery::request()
{
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, request);

    // The rows' "<s>" carries a fresh nonce, and the request asks for answers bound to it.
    const QByteArray nonce = UpdateQuery::newNonce();
    QVERIFY(nonce.size() == 64 && QByteArray::fromHex(nonce).toHex() == nonce);
    QVERIFY(UpdateQuery::newNonce() != nonce);
    QCOMPARE(UpdateQuery::request(output, nonce),
        request.isEmpty() ? request
                          : "<s nonce=\"" + nonce + "\"><answerForm name=\"orvi-update-answer-2\"/>"
                + request.mid(3));
}

void tst_UpdateQuery::runMainAppMergesChannels()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString program = folder.filePath(QStringLiteral("print.exe"));
    QVERIFY(ApplicationFolder::makeScripted(program, "out out<s>\nerr err\nout </s>"));

    const QByteArray output = UpdateQuery::runMainApp(
        QLatin1Char('"') + program + QLatin1Char('"'), UpdateQuery::MainAppTimeout);
    QCOMPARE(output, QByteArray("out<s>err</s>"));
}

void tst_UpdateQuery::runMainAppThatCannotStart()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QCOMPARE(UpdateQuery::runMainApp(
                 UpdateQuery::commandLine(folder.path()), UpdateQuery::MainAppTimeout),
        QByteArray());
}

void tst_UpdateQuery::runMainAppKilledAfterTimeout()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString program = folder.filePath(QStringLiteral("hang.exe"));
    QVERIFY(ApplicationFolder::makeScripted(program, "out <s>partial</s>\nhang"));

    // Waited for to its end, the program would have printed a whole inventory.
    QCOMPARE(
        UpdateQuery::runMainApp(QLatin1Char('"') + program + QLatin1Char('"'), 300), QByteArray());
}

QTEST_GUILESS_MAIN(tst_UpdateQuery)
#include "tst_updatequery.moc"
