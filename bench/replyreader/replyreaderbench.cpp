#include "replyreader.h"
#include "updateentry.h"
#include "updatequery.h"

#include <QElapsedTimer>

#include <cstdio>

namespace {
constexpr qsizetype Piece = 64 * 1024;

// Feeds data piece by piece until the reader completes or the query's size bound is passed.
void run(const char *label, const QByteArray &data)
{
    QElapsedTimer timer;
    timer.start();
    ReplyReader reader;
    bool complete = false;
    for (qsizetype at = 0; at < data.size() && !complete; at += Piece) {
        if (reader.size() > UpdateQuery::MaxReplySize)
            break;
        complete = reader.add(data.mid(at, Piece));
    }
    qsizetype entries = 0;
    if (complete) {
        const QVector<UpdateEntry *> parsed = reader.takeEntries();
        entries = parsed.size();
        qDeleteAll(parsed);
    }
    std::printf("%-28s %9lld bytes  %s  %6lld entries  %6lld ms\n", label,
        static_cast<long long>(reader.size()), complete ? "complete  " : "given up  ",
        static_cast<long long>(entries), static_cast<long long>(timer.elapsed()));
}
} // namespace

int main()
{
    QByteArray reply = "<reply>";
    // Fewer requests than the reader takes (ReplyParser::MaxRequests), each with a changelog.
    const QByteArray request = "<request project=\"orvi\" name=\"plugin\" type=\"plugin\">"
                               "<version>1.0</version><description>Zażółć gęślą jaźń</description>"
                               "<changelog>"
        + QByteArray("Fixes and improvements. ").repeated(16)
        + "</changelog>"
          "<link>http://dl.orvi.example/plugin.zip</link></request>";
    while (reply.size() < 4 * 1024 * 1024)
        reply += request;
    reply += "</reply>";
    run("4 MiB reply", reply);

    const qsizetype flood = UpdateQuery::MaxReplySize + 2 * Piece;
    run("text flood", "<reply>" + QByteArray(flood, 'x'));
    run("nesting flood", "<reply>" + QByteArray("<a>").repeated(flood / 3));
    run("many small elements flood", "<reply>" + QByteArray("<b/>").repeated(flood / 4));
    return 0;
}
