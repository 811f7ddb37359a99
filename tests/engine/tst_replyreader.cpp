#include "replyreader.h"
#include "updateentry.h"

#include <QtTest>

#include <memory>

class tst_ReplyReader : public QObject
{
    Q_OBJECT

private slots:
    void completes_data();
    void completes();
    void entriesAcrossPieces();
    void floodPastTheNestingBoundIsCounted();
    void catalogueBounds_data();
    void catalogueBounds();
};

namespace {
QByteArray nested(int depth)
{
    return QByteArray("<a>").repeated(depth) + QByteArray("</a>").repeated(depth);
}
} // namespace

void tst_ReplyReader::completes_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("completeAt"); // index of the piece that completes it; -1 never

    const QByteArray reply = "<?xml version=\"1.0\"?>\n<reply><request name=\"a\"/></reply>";
    QTest::newRow("one piece") << QList<QByteArray> { reply } << 0;
    QTest::newRow("nothing yet") << QList<QByteArray> { QByteArray() } << -1;
    QTest::newRow("byte by byte") << [&] {
        QList<QByteArray> bytes;
        for (char byte : reply)
            bytes << QByteArray(1, byte);
        return bytes;
    }() << int(reply.size() - 1);
    QTest::newRow("empty pieces between")
        << QList<QByteArray> { QByteArray(), reply.left(10), QByteArray(), reply.mid(10) } << 3;
    QTest::newRow("cut inside a multi-byte character")
        << QList<QByteArray> { "<reply name=\"caf\xc3", "\xa9\"/>" } << 1;
    QTest::newRow("cut inside the closing tag") << QList<QByteArray> { "<reply></rep", "ly>" } << 1;
    QTest::newRow("comment and blanks after the root")
        << QList<QByteArray> { "<reply/>\n<!-- end -->\n" } << 0;
    QTest::newRow("undeclared prefix")
        << QList<QByteArray> { "<u:reply><u:request/></u:reply>" } << 0;
    QTest::newRow("element after the root in the same piece")
        << QList<QByteArray> { "<reply/><more/>" } << -1;
    QTest::newRow("not a document, whatever follows")
        << QList<QByteArray> { "HTTP/1.0 400\r\n\r\n", reply } << -1;
    QTest::newRow("mismatched end tag")
        << QList<QByteArray> { "<reply></request>", "</reply>" } << -1;
    QTest::newRow("deepest nesting") << QList<QByteArray> { nested(ReplyReader::MaxDepth) } << 0;
    QTest::newRow("one level deeper")
        << QList<QByteArray> { nested(ReplyReader::MaxDepth + 1) } << -1;
}

void tst_ReplyReader::completes()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, completeAt);

    ReplyReader reader;
    int completed = -1;
    for (int i = 0; i < pieces.size() && completed < 0; ++i) {
        if (reader.add(pieces.at(i)))
            completed = i;
    }
    QCOMPARE(completed, completeAt);
}

void tst_ReplyReader::entriesAcrossPieces()
{
    ReplyReader reader;
    QVERIFY(!reader.add("<reply><request name=\"caf\xc3"));
    QVERIFY(reader.takeEntries().isEmpty());
    QVERIFY(!reader.add("\xa9\"><version>1.</version><link>http://h/"));
    QVERIFY(reader.add("a.zip</link></request></reply>"));
    QCOMPARE(reader.size(), qsizetype(95));
    const QVector<UpdateEntry *> entries = reader.takeEntries();
    QCOMPARE(entries.size(), 1);
    const std::unique_ptr<UpdateEntry> entry(entries.first());
    QCOMPARE(entry->name(), std::string("caf\xc3\xa9"));
    QCOMPARE(entry->version(), std::string("1."));
    QCOMPARE(entry->link(), std::string("http://h/a.zip"));
}

void tst_ReplyReader::floodPastTheNestingBoundIsCounted()
{
    // Past the nesting bound nothing is kept, but the bytes still count towards the reply size.
    ReplyReader reader;
    const QByteArray piece = QByteArray("<a>").repeated(20000);
    for (int i = 0; i < 50; ++i)
        QVERIFY(!reader.add(piece));
    QCOMPARE(reader.size(), 50 * piece.size());
}

void tst_ReplyReader::catalogueBounds_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("completes");

    const QByteArray requests
        = QByteArray("<request name=\"a\"/>").repeated(ReplyParser::MaxRequests);
    QTest::newRow("most requests") << "<reply>" + requests + "</reply>" << true;
    QTest::newRow("one request more")
        << "<reply>" + requests + "<request><latest/></request></reply>" << false;
    // Every item of a nested request is also text of the items around it: 100 levels keep the
    // innermost text 100 times.
    const QByteArray open = QByteArray("<request><version>").repeated(100);
    const QByteArray close = QByteArray("</version></request>").repeated(100);
    const QByteArray text(ReplyParser::MaxText / 200, 'x');
    QTest::newRow("nested items within the text bound") << open + text + close << true;
    QTest::newRow("nested items past the text bound") << open + text + text + text + close << false;
}

void tst_ReplyReader::catalogueBounds()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, completes);

    ReplyReader reader;
    QCOMPARE(reader.add(reply), completes);
    QCOMPARE(reader.isHopeless(), !completes);
    const QVector<UpdateEntry *> entries = reader.takeEntries();
    QCOMPARE(entries.isEmpty(), !completes);
    qDeleteAll(entries);
}

QTEST_GUILESS_MAIN(tst_ReplyReader)
#include "tst_replyreader.moc"
