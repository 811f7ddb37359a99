#include "replyreader.h"
#include "updateentry.h"

#include <QtTest>

#include <memory>
#include <vector>

using Entries = std::vector<std::unique_ptr<UpdateEntry>>;

class tst_ReplyParser : public QObject
{
    Q_OBJECT

private slots:
    void skipsAndNesting_data();
    void skipsAndNesting();
    void fullRequest();
    void emptyRequest();
    void firstChildOfEachNameCounts();
    void critical_data();
    void critical();
    void timestamp_data();
    void timestamp();
    void size_data();
    void size();

private:
    static Entries parse(const QByteArray &reply);
};

Entries tst_ReplyParser::parse(const QByteArray &reply)
{
    ReplyReader reader;
    if (!reader.add(reply))
        qWarning("fixture is not a complete reply: %s", reply.constData());
    Entries entries;
    for (UpdateEntry *entry : reader.takeEntries())
        entries.emplace_back(entry);
    return entries;
}

void tst_ReplyParser::skipsAndNesting_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("no request") << QByteArray("<reply><other name=\"x\"/></reply>")
                                << QStringList();
    QTest::newRow("latest skipped even with an update") << QByteArray(
        "<reply><request name=\"a\"><latest/><version>2</version>"
        "<link>http://h/a.zip</link></request></reply>") << QStringList();
    QTest::newRow("noSuchUpdate and noSuchComponent skipped") << QByteArray(
        "<reply><request name=\"a\"><noSuchUpdate/></request>"
        "<request name=\"b\"><version>1</version><noSuchComponent/></request>"
        "<request name=\"c\"/></reply>") << QStringList { QStringLiteral("c") };
    QTest::newRow("skip markers count only as direct children")
        << QByteArray("<reply><request name=\"a\"><x><latest/></x></request></reply>")
        << QStringList { QStringLiteral("a") };
    QTest::newRow("skip markers are case-sensitive")
        << QByteArray("<reply><request name=\"a\"><Latest/><nosuchupdate/></request></reply>")
        << QStringList { QStringLiteral("a") };
    QTest::newRow("nested at any depth, in document order")
        << QByteArray("<reply><request name=\"a\"/><group><deeper><request name=\"b\"/>"
                      "</deeper></group><request name=\"c\"><request name=\"d\"/></request>"
                      "</reply>")
        << QStringList { QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
               QStringLiteral("d") };
    QTest::newRow("root may be a request")
        << QByteArray("<request name=\"r\"/>") << QStringList { QStringLiteral("r") };
    QTest::newRow("element name is case-sensitive")
        << QByteArray("<reply><Request name=\"a\"/></reply>") << QStringList();
    QTest::newRow("duplicates give two entries")
        << QByteArray("<reply><request name=\"a\"/><request name=\"a\"/></reply>")
        << QStringList { QStringLiteral("a"), QStringLiteral("a") };
}

void tst_ReplyParser::skipsAndNesting()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, names);

    const Entries entries = parse(reply);
    QStringList found;
    for (const auto &entry : entries)
        found << QString::fromStdString(entry->name());
    QCOMPARE(found, names);
}

void tst_ReplyParser::fullRequest()
{
    const QByteArray reply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<updates>"
                             "<request project=\"orvi\" name=\"core\" type=\"app\">"
                             "<version>7.1</version>"
                             "<description>Zaż<b>ółć</b> gęślą jaźń</description>"
                             "<copyrights>(c) Orvi</copyrights>"
                             "<webpage>http://orvi.example/</webpage>"
                             "<email>team@orvi.example</email>"
                             "<changelog>fixes &amp; more</changelog>"
                             "<link>http://dl.orvi.example/core.zip</link>"
                             "<author>Orvi team</author>"
                             "<critical>true</critical>"
                             "<timestamp>1700000000</timestamp>"
                             "<signature>untrusted comment: c\r\nRWQ=\n</signature>"
                             "</request>"
                             "<request project=\"orvi\" name=\"gg\" type=\"plugin\"/>"
                             "<request project=\"orvi\" name=\"skin\" type=\"data\"/>"
                             "</updates>";
    const Entries entries = parse(reply);
    QCOMPARE(entries.size(), size_t(3));
    const UpdateEntry &entry = *entries.front();
    QCOMPARE(entry.project(), std::string("orvi"));
    QCOMPARE(entry.name(), std::string("core"));
    QCOMPARE(entry.type(), std::string("app"));
    QCOMPARE(entry.version(), std::string("7.1"));
    QCOMPARE(entry.description(),
        std::string("Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87 g\xc4\x99\xc5\x9b"
                    "l\xc4\x85 ja\xc5\xba\xc5\x84"));
    QCOMPARE(entry.copyrights(), std::string("(c) Orvi"));
    QCOMPARE(entry.webpage(), std::string("http://orvi.example/"));
    QCOMPARE(entry.email(), std::string("team@orvi.example"));
    QCOMPARE(entry.changelog(), std::string("fixes & more"));
    QCOMPARE(entry.link(), std::string("http://dl.orvi.example/core.zip"));
    QCOMPARE(entry.author(), std::string("Orvi team"));
    QVERIFY(entry.critical());
    QCOMPARE(entry.timestamp(), 1700000000u);
    // XML reads a line end as "\n" whatever the server wrote.
    QCOMPARE(entry.signature(), std::string("untrusted comment: c\nRWQ=\n"));
    QCOMPARE(entries.at(1)->name(), std::string("gg"));
    QCOMPARE(entries.at(1)->type(), std::string("plugin"));
    QCOMPARE(entries.at(2)->name(), std::string("skin"));
}

void tst_ReplyParser::emptyRequest()
{
    const Entries entries = parse("<reply><request/></reply>");
    QCOMPARE(entries.size(), size_t(1));
    const UpdateEntry &entry = *entries.front();
    for (const std::string *text :
        { &entry.project(), &entry.name(), &entry.type(), &entry.version(), &entry.description(),
            &entry.copyrights(), &entry.author(), &entry.webpage(), &entry.email(),
            &entry.changelog(), &entry.link(), &entry.signature() })
        QVERIFY(text->empty());
    QVERIFY(!entry.critical());
    QCOMPARE(entry.timestamp(), 0u);
}

void tst_ReplyParser::firstChildOfEachNameCounts()
{
    const Entries entries = parse("<reply><request name=\"a\"><x><link>inner</link></x>"
                                  "<link>first</link><link>second</link>"
                                  "<version></version><version>2</version></request></reply>");
    QCOMPARE(entries.size(), size_t(1));
    QCOMPARE(entries.front()->link(), std::string("first"));
    QCOMPARE(entries.front()->version(), std::string());
}

void tst_ReplyParser::critical_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<bool>("critical");

    QTest::newRow("true") << QByteArray("<critical>true</critical>") << true;
    QTest::newRow("capitals") << QByteArray("<critical>TRUE</critical>") << false;
    QTest::newRow("one") << QByteArray("<critical>1</critical>") << false;
    QTest::newRow("blanks around") << QByteArray("<critical> true </critical>") << false;
    QTest::newRow("empty") << QByteArray("<critical/>") << false;
    QTest::newRow("absent") << QByteArray() << false;
    QTest::newRow("text split by markup") << QByteArray("<critical>tr<i>ue</i></critical>") << true;
}

void tst_ReplyParser::critical()
{
    QFETCH(QByteArray, element);
    QFETCH(bool, critical);

    const Entries entries = parse("<reply><request>" + element + "</request></reply>");
    QCOMPARE(entries.size(), size_t(1));
    QCOMPARE(entries.front()->critical(), critical);
}

void tst_ReplyParser::timestamp_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<uint>("timestamp");

    QTest::newRow("decimal") << QByteArray("1234567890") << 1234567890u;
    QTest::newRow("largest 32-bit value") << QByteArray("4294967295") << 4294967295u;
    QTest::newRow("one above") << QByteArray("4294967296") << 0u;
    QTest::newRow("letters after digits") << QByteArray("123abc") << 0u;
    QTest::newRow("empty") << QByteArray() << 0u;
    QTest::newRow("negative") << QByteArray("-1") << 0u;
    QTest::newRow("hexadecimal is not decimal") << QByteArray("0x10") << 0u;
    QTest::newRow("leading zeros") << QByteArray("0042") << 42u;
}

void tst_ReplyParser::timestamp()
{
    QFETCH(QByteArray, text);
    QFETCH(uint, timestamp);

    const Entries entries
        = parse("<reply><request><timestamp>" + text + "</timestamp></request></reply>");
    QCOMPARE(entries.size(), size_t(1));
    QCOMPARE(entries.front()->timestamp(), timestamp);
}

void tst_ReplyParser::size_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<qint64>("size");

    QTest::newRow("absent, as in older replies") << QByteArray() << qint64(-1);
    QTest::newRow("beyond 32 bits, blanks around")
        << QByteArray("<size> 8589934592\n</size>") << qint64(8589934592);
    QTest::newRow("too large for a file")
        << QByteArray("<size>9999999999999999999</size>") << qint64(-1);
    QTest::newRow("negative") << QByteArray("<size>-1</size>") << qint64(-1);
    QTest::newRow("letters after digits") << QByteArray("<size>12kB</size>") << qint64(-1);
}

void tst_ReplyParser::size()
{
    QFETCH(QByteArray, element);
    QFETCH(qint64, size);

    const Entries entries = parse("<reply><request>" + element + "</request></reply>");
    QCOMPARE(entries.size(), size_t(1));
    QCOMPARE(qint64(entries.front()->size()), size);
}

QTEST_GUILESS_MAIN(tst_ReplyParser)
#include "tst_replyparser.moc"
