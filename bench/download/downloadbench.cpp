// Fetches the package at the address given on the command line into the download folder
// (the temporary folder followed by "/tupdates/") through the updater's engine, which checks
// it against the signature file given second, and prints one line:
// "bytes=<n> seconds=<s> peak_rss_kib=<k>".

#include "orviupdaterengine.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        std::fprintf(
            stderr, "usage: download-bench <http address of a package> <its .minisig file>\n");
        return 2;
    }
    QFile signature(arguments.at(2));
    if (!signature.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(arguments.at(2)));
        return 2;
    }

    OrviUpdaterEngine engine;
    engine.adoptUpdates({ new UpdateEntry("bench", "package", "plugin", "1", "", "", "", "", "", "",
        arguments.at(1).toStdString(), false, 0, signature.readAll().toStdString()) });
    QObject::connect(&engine, &OrviUpdaterEngine::error, &app, [&app](const QString &text) {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
        app.exit(1);
    });
    QObject::connect(&engine, &OrviUpdaterEngine::downloadFinished, &app, [&app] { app.exit(0); });

    QElapsedTimer clock;
    QTimer::singleShot(0, &engine, [&engine, &clock] {
        clock.start();
        engine.beginDownload();
    });
    const int result = app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (result != 0)
        return result;

    const std::string &link = engine.updates().at(0)->link();
    const QString file
        = engine.downloadFolder() + QLatin1Char('/') + QUrl(QString::fromStdString(link)).path();
    const qint64 bytes = QFileInfo(file).size();
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("bytes=%lld seconds=%.4f peak_rss_kib=%ld\n", static_cast<long long>(bytes),
        seconds, usage.ru_maxrss);
    return 0;
}
