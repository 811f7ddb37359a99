// One turn of the delta benchmark: into an installed copy of the old version, either applies a
// delta package as the download does when it ends and installs the folder it prepared, or
// installs the whole package; prints the time taken and the peak of the process's anonymous
// memory (resident pages that belong to no file, sampled every millisecond) above what it held
// before.
//
// Usage: delta-bench delta|whole ROOT DOWNLOAD-FOLDER PACKAGE WHOLE-NAME NAME
//   ROOT: the installed old version (with orvi7.exe); PACKAGE: the delta or whole package file,
//   copied into DOWNLOAD-FOLDER first; WHOLE-NAME: the whole package's file name; NAME: the
//   component ("app" of "orvi").

#include "deltapackage.h"
#include "packageinstaller.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cstdio>
#include <thread>

#include <unistd.h>

namespace {
long anonymousKib()
{
    // statm: total, resident, shared (file-backed) pages.
    std::FILE *file = std::fopen("/proc/self/statm", "r");
    long total = 0;
    long resident = 0;
    long shared = 0;
    if (file) {
        if (std::fscanf(file, "%ld %ld %ld", &total, &resident, &shared) != 3)
            resident = shared = 0;
        std::fclose(file);
    }
    return (resident - shared) * (sysconf(_SC_PAGESIZE) / 1024);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 7) {
        std::fprintf(stderr, "usage: delta-bench delta|whole ROOT DOWNLOAD PACKAGE WHOLE NAME\n");
        return 2;
    }
    const bool delta = arguments.at(1) == QLatin1String("delta");
    const QString root = arguments.at(2);
    const QString download = arguments.at(3);
    const QString package = arguments.at(4);
    const std::string name = arguments.at(6).toStdString();
    const std::string packageLink = "http://h/" + QFileInfo(package).fileName().toStdString();
    const UpdateEntry entry("orvi", name, "app", "2", "", "", "", "", "", "",
        "http://h/" + arguments.at(5).toStdString(), false, 0, "", -1,
        UpdateEntry::Delta { "1", packageLink, "", -1 });
    QDir().mkpath(download);
    const QString stored = download + QLatin1Char('/') + QFileInfo(package).fileName();
    QFile::remove(stored);
    if (!QFile::copy(package, stored)) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(package));
        return 1;
    }

    std::atomic<bool> done { false };
    std::atomic<long> peak { 0 };
    const long before = anonymousKib();
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), anonymousKib());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    QElapsedTimer timer;
    timer.start();
    PackageInstaller::RunState runState;
    PackageInstaller installer(&entry, root, &runState);
    DeltaPackage::Prepared prepared;
    QString failure;
    if (delta) {
        DeltaPackage deltaPackage(entry, root, download);
        if (!deltaPackage.apply(stored, &prepared))
            failure = QStringLiteral("the delta did not apply: ") + deltaPackage.errorText();
        installer.setPrepared(&prepared);
    }
    QStringList details;
    PackageInstaller::Failure installFailure;
    if (failure.isEmpty() && !installer.install(download, &details, &installFailure))
        failure = installFailure.message + QLatin1Char(' ') + installFailure.errorText;
    const qint64 elapsed = timer.elapsed();
    done = true;
    sampler.join();
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        return 1;
    }
    std::printf("%lld ms, peak anonymous memory %.1f MiB above the %.1f MiB before\n",
        static_cast<long long>(elapsed), double(peak - before) / 1024, double(before) / 1024);
    return 0;
}
