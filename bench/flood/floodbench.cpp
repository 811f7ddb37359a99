#include "fakeupdateserver.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "testenvironment.h"
#include "updatequery.h"

#include <QApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

constexpr qint64 FloodSize = 400 * 1024 * 1024;

/// The process's peak resident memory in KiB since it started or was last reset.
qint64 peakKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetPeak()
{
    // Writing 5 to clear_refs sets the peak back to the current resident size.
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

/// Runs one update query against server; returns the peak memory during it.
qint64 query(FakeUpdateServer &server, bool *succeeded)
{
    resetPeak();
    OrviUpdaterEngine engine;
    engine.setUpdateServer(UpdateServer(QStringLiteral("127.0.0.1"), server.port()));
    *succeeded = engine.checkUpdates();
    return peakKib();
}

QByteArray completeReply(const QByteArray &request, qsizetype size)
{
    QByteArray reply = "<reply>";
    while (reply.size() + request.size() + 8 < size)
        reply += request;
    return reply + "</reply>";
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestEnvironment environment;
    const QString root = environment.root() + QStringLiteral("/installation");
    QDir().mkpath(root);
    // The main application is missing, so the query sends an empty request at once.
    QByteArrayList arguments { QByteArray(argc > 0 ? argv[0] : "flood-bench"), QByteArray("-u"),
        QByteArray("-root"), QFile::encodeName(root) };
    int count = int(arguments.size());
    std::vector<char *> pointers;
    for (QByteArray &argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    QApplication application(count, pointers.data());
    MessageBoxHandler::setAnswerer(
            [](const MessageBoxHandler::Box &box) { return MessageBoxHandler::defaultAnswer(box); });

    FakeUpdateServer server;
    bool ok = false;
    server.answer("<reply><request project=\"orvi\" name=\"core\" type=\"app\"><latest/>"
                  "</request></reply>");
    const qint64 idle = query(server, &ok);
    std::printf("idle updater (a small reply): peak %.1f MiB%s\n", idle / 1024.0,
            ok ? "" : " (query failed)");

    const struct
    {
        const char *label;
        QByteArray unit;
    } floods[] = { { "text", "x" }, { "nested elements", "<a>" }, { "small elements", "<b/>" },
        { "attributes", "<c d=\"e\"/>" } };
    for (const auto &flood : floods) {
        server.flood(FloodSize, flood.unit);
        const qint64 peak = query(server, &ok);
        std::printf("400 MiB endless reply, %-16s peak %6.1f MiB, %+6.1f MiB over idle, "
                    "%5.1f MiB sent before the query gave up%s\n",
                flood.label, peak / 1024.0, (peak - idle) / 1024.0,
                server.flooded() / 1048576.0, ok ? " (accepted?)" : "");
    }

    const qsizetype near = UpdateQuery::MaxReplySize - 64 * 1024;
    const struct
    {
        const char *label;
        QByteArray reply;
    } complete[] = {
        { "typical requests",
                completeReply("<request project=\"orvi\" name=\"plugin\" type=\"plugin\">"
                              "<version>1.0</version><description>Plugin</description>"
                              "<changelog>Fixes and improvements.</changelog>"
                              "<link>http://dl.orvi.example/plugin.zip</link></request>",
                        near) },
        { "empty elements", completeReply("<b/>", near) },
    };
    for (const auto &reply : complete) {
        server.answer(reply.reply);
        const qint64 peak = query(server, &ok);
        std::printf("complete %.1f MiB reply of %-16s peak %6.1f MiB, %+6.1f MiB over idle "
                    "(%.1f times its size)%s\n",
                reply.reply.size() / 1048576.0, reply.label, peak / 1024.0,
                (peak - idle) / 1024.0, (peak - idle) * 1024.0 / reply.reply.size(),
                ok ? "" : " (query failed)");
    }
    return 0;
}
