// Measures installing a package through PackageInstaller (extract, back up, apply) against
// "unzip -o -q" of the same archive followed by "cp -a" of the extracted tree, both over an
// existing copy of the files the package replaces, in alternating runs; and the same install
// preceded by the check the updater makes when a download ends (signature and version).
//
//   install-bench run [rounds] <work folder> [root parent]
//                          prepares and signs the packages and prints the figures; the
//                          application folder goes below root parent (another file system)
//                          when given
//   install-bench install <download folder> <name> -root <root> [--check]
//                          installs <download folder>/<name>.zip (one run), checking it first
//                          against <name>.zip.minisig with --check, as the updater does when
//                          the download ends: with the hash taken while the bytes came in
//                          (here from <name>.zip.blake2b, written when the package was made)
//   install-bench recovery <rounds> <work folder> [file count...]
//                          times the complete install of packages of small files (5000 and
//                          100000 by default) against the recovery of the same install killed
//                          halfway through its changes
//   install-bench recover <download folder> <root>
//                          undoes the unfinished run journalled there for the application
//                          folder root, as the next start does
//   install-bench remove <download folder>
//                          removes what recoveries moved aside beside the download folder, as
//                          a run does once its windows are closed

#include "discardedfolders.h"
#include "enginesettings.h"
#include "installationjournal.h"
#include "installationrun.h"
#include "mainapppaths.h"
#include "messageboxhandler.h"
#include "packageacceptance.h"
#include "packagehash.h"
#include "packageinstaller.h"
#include "trustedcomment.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QXmlStreamWriter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {
struct Measurement
{
    double seconds = 0;
    double peakMiB = 0;
    int exitCode = -1;
};

/// Runs arguments to their end; whileRunning, when given, is called with the child's pid first.
Measurement runChild(
    const QStringList &arguments, const std::function<void(pid_t)> &whileRunning = {})
{
    std::vector<QByteArray> texts;
    for (const QString &argument : arguments)
        texts.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    Measurement measurement;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return measurement;
    int status = 0;
    rusage usage {};
    if (whileRunning)
        whileRunning(pid);
    wait4(pid, &status, 0, &usage);
    measurement.seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measurement.peakMiB = usage.ru_maxrss / 1024.0;
    measurement.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return measurement;
}

bool shell(const QString &command)
{
    return runChild({ QStringLiteral("sh"), QStringLiteral("-c"), command }).exitCode == 0;
}

using Clock = std::chrono::steady_clock;

/// Waits until the file at filePath is replaced (or removed) or the child ends; returns when
/// that happened.
Clock::time_point waitForReplacement(const QString &filePath, pid_t pid)
{
    const QByteArray path = QFile::encodeName(filePath);
    struct stat original
    {
    };
    ::stat(path.constData(), &original);
    const timespec pause { 0, 100000 };
    for (;;) {
        struct stat now
        {
        };
        if (::stat(path.constData(), &now) != 0 || now.st_ino != original.st_ino)
            break;
        // Ended already (left for wait4 to reap)?
        siginfo_t ended {};
        if (waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid != 0)
            break;
        nanosleep(&pause, nullptr);
    }
    return Clock::now();
}

QString quoted(const QString &path)
{
    return QLatin1Char('\'') + path + QLatin1Char('\'');
}

// Bytes about as compressible as program files: six bits of randomness per byte.
void writePayload(const QString &path, qint64 size, std::mt19937_64 &random)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray chunk(1 << 20, '\0');
    while (size > 0) {
        const qint64 length = std::min<qint64>(size, chunk.size());
        for (qint64 i = 0; i < length; i += 8) {
            quint64 word = random() & 0x3f3f3f3f3f3f3f3fULL;
            std::memcpy(chunk.data() + i, &word, size_t(std::min<qint64>(8, length - i)));
        }
        file.write(chunk.constData(), length);
        size -= length;
    }
}

struct PackageSpec
{
    QString name;
    QString label;
    QStringList files; // relative paths
};

// Writes the old tree, the new tree with its descriptor, and the archive of the new tree.
PackageSpec preparePackage(const QString &work, const QString &name, const QString &label,
    const std::vector<std::pair<QString, qint64>> &files)
{
    const QString oldTree = work + QStringLiteral("/old-") + name;
    const QString newTree = work + QStringLiteral("/new-") + name;
    const QString archive = work + QStringLiteral("/tupdates/") + name + QStringLiteral(".zip");
    PackageSpec layout { name, label, {} };
    for (const auto &file : files)
        layout.files << file.first;
    // Signed as a publisher signs with minisign, for what the install turn with --check offers.
    const auto sign = [&] {
        const QByteArray comment
            = TrustedComment { "orvi", name.toUtf8(), "app", "2", name.toUtf8() + ".zip" }.toText();
        if (!shell(QStringLiteral("minisign -S -s %1 -m %2 -t %3 >/dev/null")
                       .arg(quoted(QStringLiteral(ORVI_TEST_KEYS_DIR "/test.key")), quoted(archive),
                           quoted(QString::fromUtf8(comment)))))
            qFatal("minisign failed for %s", qPrintable(name));
        // What the download's hashing hands to the check.
        QByteArray hash;
        QString errorText;
        QFile hashFile(archive + QStringLiteral(".blake2b"));
        if (!PackageHash::ofFile(archive, &hash, &errorText) || !hashFile.open(QIODevice::WriteOnly)
            || hashFile.write(hash) != hash.size())
            qFatal("cannot hash %s", qPrintable(archive));
    };
    if (QFileInfo::exists(archive)) {
        if (!QFileInfo::exists(archive + QStringLiteral(".minisig"))
            || !QFileInfo::exists(archive + QStringLiteral(".blake2b")))
            sign();
        return layout;
    }

    std::mt19937_64 oldRandom(1), newRandom(2);
    for (const auto &file : files) {
        QDir().mkpath(QFileInfo(oldTree + QLatin1Char('/') + file.first).absolutePath());
        QDir().mkpath(QFileInfo(newTree + QLatin1Char('/') + file.first).absolutePath());
        writePayload(oldTree + QLatin1Char('/') + file.first, file.second, oldRandom);
        writePayload(newTree + QLatin1Char('/') + file.first, file.second, newRandom);
    }
    QFile mainApplication(oldTree + QStringLiteral("/orvi7.exe"));
    mainApplication.open(QIODevice::WriteOnly);
    mainApplication.close();

    QFile descriptor(newTree + QLatin1Char('/') + name + QStringLiteral(".xml"));
    descriptor.open(QIODevice::WriteOnly);
    QXmlStreamWriter writer(&descriptor);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("package"));
    writer.writeAttribute(QStringLiteral("project"), QStringLiteral("orvi"));
    writer.writeAttribute(QStringLiteral("name"), name);
    writer.writeAttribute(QStringLiteral("type"), QStringLiteral("app"));
    for (const auto &file : files) {
        const QString path = file.first.section(QLatin1Char('/'), 0, -2);
        writer.writeEmptyElement(QStringLiteral("file"));
        writer.writeAttribute(QStringLiteral("name"), file.first.section(QLatin1Char('/'), -1));
        writer.writeAttribute(QStringLiteral("path"), path);
        writer.writeAttribute(QStringLiteral("action"), QStringLiteral("add"));
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    descriptor.close();

    QDir().mkpath(work + QStringLiteral("/tupdates"));
    if (!shell(QStringLiteral("cd %1 && zip -q -r -X %2 .").arg(quoted(newTree), quoted(archive))))
        qFatal("zip failed for %s", qPrintable(name));
    sign();
    return layout;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

int runInstall(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString downloadFolder = arguments.value(2);
    const std::string name = arguments.value(3).toStdString();
    MessageBoxHandler::setAnswerer([](const MessageBoxHandler::Box &box) {
        std::fprintf(stderr, "%s\n", qPrintable(box.text));
        return QMessageBox::Ok;
    });
    const QString archive = downloadFolder + QString::fromStdString(name) + QStringLiteral(".zip");
    // The recovery rounds put the archive back without its signature; they do not check.
    QFile signature(archive + QStringLiteral(".minisig"));
    const QByteArray signatureText
        = signature.open(QIODevice::ReadOnly) ? signature.readAll() : QByteArray();
    const UpdateEntry entry("orvi", name, "app", "2", "", "", "", "", "", "",
        "http://bench/" + name + ".zip", false, 0, signatureText.toStdString());
    if (arguments.contains(QLatin1String("--check"))) {
        QFile hash(archive + QStringLiteral(".blake2b"));
        if (!hash.open(QIODevice::ReadOnly))
            qFatal("no hash beside %s", qPrintable(archive));
        const EngineSettings settings;
        const QString refusal = PackageAcceptance(settings.signingKeys, settings.unsignedAllowed,
            MainAppPaths::rootFolder(arguments).value_or(QString()))
                                    .refusal(entry, hash.readAll());
        if (!refusal.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(refusal));
            return 1;
        }
    }
    PackageInstaller::RunState runState;
    PackageInstaller installer(
        &entry, MainAppPaths::rootFolder(arguments).value_or(QString()), &runState);
    // As in a real run: the plan is journalled and the run closed with its completion record.
    InstallationJournal journal(downloadFolder);
    installer.setJournal(&journal);
    QStringList details;
    PackageInstaller::Failure failure;
    if (!journal.begin({ installer.rootFolder(), QString() }))
        return 1;
    if (!installer.install(downloadFolder, &details, &failure)) {
        std::fprintf(stderr, "%s\n", qPrintable(failure.message));
        return 1;
    }
    return journal.finish(true) ? 0 : 1;
}

int runRecover(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QStringList unrestored;
    const InstallationRun::Outcome outcome
        = InstallationRun::recover(QCoreApplication::arguments().value(2),
            QCoreApplication::arguments().value(3), &unrestored);
    return outcome == InstallationRun::Outcome::RolledBack && unrestored.isEmpty() ? 0 : 1;
}

int runRemove(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    DiscardedFolders::removeAll(QCoreApplication::arguments().value(2));
    return 0;
}

struct RecoveryFigures
{
    qsizetype undone = 0;
    // From the first target replaced to the end of an install left alone.
    double changing = 0;
    // Until the journal says the run was undone, until the recovery ended, and the removal of
    // what it moved aside, which comes once the windows are closed.
    std::vector<double> restorations, recoveries, removals;
};

/// Where the archive of package is kept: the recovery empties the download folder, archives
/// included. Copied there the first time, from the download folder.
QString keptArchive(const QString &work, const PackageSpec &package)
{
    const QString kept = work + QStringLiteral("/kept-") + package.name + QStringLiteral(".zip");
    if (!QFileInfo::exists(kept))
        shell(QStringLiteral("cp %1 %2")
                  .arg(quoted(work + QStringLiteral("/tupdates/") + package.name
                           + QStringLiteral(".zip")),
                      quoted(kept)));
    return kept;
}

/// Puts the old tree at root and a download folder holding only the archive of package.
void prepareRecoveryRound(const QString &work, const PackageSpec &package, const QString &root,
    const QString &setAside, int *turns)
{
    const QString download = work + QStringLiteral("/tupdates");
    const QString kept = keptArchive(work, package);
    const QString aside = setAside + QString::number(++*turns);
    shell(QStringLiteral("mkdir -p %1 && for f in %2 %3; do if [ -e \"$f\" ]; then mv \"$f\" "
                         "%1/; fi; done && mkdir %3 && cp -a %4 %2 && cp %5 %6 && sync")
              .arg(quoted(aside), quoted(root), quoted(download),
                  quoted(work + QStringLiteral("/old-") + package.name), quoted(kept),
                  quoted(download + QLatin1Char('/') + package.name + QStringLiteral(".zip"))));
}

/// Kills the install of package halfway through its changes, rounds times, and times the next
/// start's recovery, which must give back the old tree exactly.
RecoveryFigures measureRecovery(const QString &self, const QString &work,
    const PackageSpec &package, const QString &root, int rounds, const QString &setAside,
    int *turns)
{
    const QString download = work + QStringLiteral("/tupdates/");
    const QStringList install { self, QStringLiteral("install"), download, package.name,
        QStringLiteral("-root"), root };
    const QString journal = InstallationJournal::filePath(download);
    const QString firstTarget = root + QLatin1Char('/') + package.files.first();
    const QString oldTree = work + QStringLiteral("/old-") + package.name;
    RecoveryFigures figures;
    // One install left alone tells how long the changes take once the first file is replaced.
    prepareRecoveryRound(work, package, root, setAside, turns);
    Clock::time_point planned;
    runChild(install, [&](pid_t pid) { planned = waitForReplacement(firstTarget, pid); });
    figures.changing = std::chrono::duration<double>(Clock::now() - planned).count();
    for (int round = 0; round < rounds; ++round) {
        // The kill comes halfway through the changes; when an install outruns the one that was
        // timed, the round is tried again with an earlier kill.
        double wait = figures.changing / 2;
        for (int attempt = 0;; ++attempt) {
            prepareRecoveryRound(work, package, root, setAside, turns);
            runChild(install, [&](pid_t pid) {
                waitForReplacement(firstTarget, pid);
                const timespec pause { time_t(wait), long((wait - time_t(wait)) * 1e9) };
                nanosleep(&pause, nullptr);
                kill(pid, SIGKILL);
            });
            if (InstallationJournal::state(download) == InstallationJournal::State::Unfinished)
                break;
            if (attempt == 5)
                qFatal("the killed install left no unfinished journal; kill it earlier");
            wait /= 2;
        }
        figures.undone = InstallationJournal::steps(download).size();
        if (shell(QStringLiteral("diff -r -q %1 %2 >/dev/null").arg(quoted(oldTree), quoted(root))))
            qFatal("the install was killed before it changed the application folder");
        // The journal is rewritten once the application folder is restored and synced; the
        // download folder is emptied after that.
        const Clock::time_point started = Clock::now();
        Clock::time_point restored;
        const Measurement m = runChild({ self, QStringLiteral("recover"), download, root },
            [&](pid_t pid) { restored = waitForReplacement(journal, pid); });
        if (m.exitCode != 0)
            qFatal("recovery failed");
        figures.restorations.push_back(std::chrono::duration<double>(restored - started).count());
        if (!shell(
                QStringLiteral("diff -r -q %1 %2 >/dev/null").arg(quoted(oldTree), quoted(root))))
            qFatal("recovery did not give back the old tree");
        figures.recoveries.push_back(m.seconds);
        const Measurement removal = runChild({ self, QStringLiteral("remove"), download });
        if (removal.exitCode != 0
            || !QDir(QFileInfo(QDir::cleanPath(download)).path())
                    .entryList({ QStringLiteral("tupdates-discarded-*") }, QDir::Dirs)
                    .isEmpty())
            qFatal("what the recovery moved aside was not removed");
        figures.removals.push_back(removal.seconds);
    }
    return figures;
}

int runBenchmark(const QString &work, int rounds, const QString &rootParent)
{
    QTextStream out(stdout);
    QDir().mkpath(work);
    const QString self = QCoreApplication::applicationFilePath();

    std::vector<std::pair<QString, qint64>> big { { QStringLiteral("bin/big.dll"), 200LL << 20 } };
    std::vector<std::pair<QString, qint64>> many;
    std::mt19937 sizes(7);
    for (int i = 0; i < 5000; ++i)
        many.push_back({ QStringLiteral("f%1/file%2.dat").arg(i % 50).arg(i),
            1024 + qint64(sizes() % (15 * 1024 + 1)) });
    std::vector<std::pair<QString, qint64>> tiny { { QStringLiteral("bin/tiny.dll"), 2048 } };

    out << "preparing packages in " << work << Qt::endl;
    const std::vector<PackageSpec> packages {
        preparePackage(work, QStringLiteral("big"), QStringLiteral("one 200 MiB file"), big),
        preparePackage(
            work, QStringLiteral("many"), QStringLiteral("5000 files of 1-16 KiB"), many),
        preparePackage(work, QStringLiteral("tiny"), QStringLiteral("one 2 KiB file"), tiny),
    };

    const QString root = (rootParent.isEmpty() ? work : rootParent) + QStringLiteral("/root");
    const QString extract = work + QStringLiteral("/extract");
    const QString download = work + QStringLiteral("/tupdates/");
    struct Result
    {
        std::vector<double> updater, baseline, peak, checked, checkedPeak, hashing;
    };
    std::vector<Result> results(packages.size());
    // Per run, so that a run that stopped early leaves nothing in the way of the next one;
    // deleting it first would slow down file creation (see below).
    const QString setAside
        = work + QStringLiteral("/set-aside-%1/").arg(QCoreApplication::applicationPid());
    int turns = 0;
    // Round -1 warms the caches and outlasts deletions made just before the benchmark; it is
    // not counted.
    for (int round = -1; round < rounds; ++round) {
        for (size_t p = 0; p < packages.size(); ++p) {
            const PackageSpec &package = packages[p];
            const QString oldTree = work + QStringLiteral("/old-") + package.name;
            const QString archive = download + package.name + QStringLiteral(".zip");
            for (int turn = 0; turn < 3; ++turn) {
                // Rotate which side goes first, so none always meets a warm cache.
                enum Kind { Updater, Checked, Baseline };
                const Kind kind = Kind((turn + round + 1) % 3);
                // The previous turn's files are set aside, not deleted: ext4 without a journal
                // skips inodes freed in the last half minute one by one when it allocates, so
                // thousands of fresh deletions slow down whichever side creates files next in
                // the same block group (unzip into the package folder took 2.4 s instead of
                // 0.6 s). Nothing is deleted until all rounds are done.
                const QString aside = setAside + QString::number(++turns);
                shell(QStringLiteral("mkdir -p %1 && for f in %2 %3 %4; do if [ -e \"$f\" ]; "
                                     "then mv \"$f\" %1/; fi; done && cp -a %5 %2 && sync")
                          .arg(quoted(aside), quoted(root), quoted(extract),
                              quoted(download + package.name), quoted(oldTree)));
                if (kind != Baseline) {
                    QStringList install { self, QStringLiteral("install"), download, package.name,
                        QStringLiteral("-root"), root };
                    if (kind == Checked)
                        install << QStringLiteral("--check");
                    const Measurement m = runChild(install);
                    if (m.exitCode != 0)
                        qFatal("install of %s failed", qPrintable(package.name));
                    if (round >= 0 && kind == Updater) {
                        results[p].updater.push_back(m.seconds);
                        results[p].peak.push_back(m.peakMiB);
                    } else if (round >= 0) {
                        results[p].checked.push_back(m.seconds);
                        results[p].checkedPeak.push_back(m.peakMiB);
                    }
                } else {
                    const Measurement m = runChild({ QStringLiteral("sh"), QStringLiteral("-c"),
                        // sync -f gives the copy the updater's guarantee: on disk when done.
                        QStringLiteral("unzip -o -q %1 -d %2 && cp -a %2/. %3 && sync -f %3")
                            .arg(quoted(archive), quoted(extract), quoted(root)) });
                    if (m.exitCode != 0)
                        qFatal("unzip + cp of %s failed", qPrintable(package.name));
                    if (round >= 0)
                        results[p].baseline.push_back(m.seconds);
                }
            }
        }
    }

    // Before the recovery below empties the download folder.
    for (size_t p = 0; p < packages.size(); p += 2) {
        for (int round = 0; round < rounds; ++round) {
            QByteArray hash;
            QString errorText;
            const auto start = Clock::now();
            if (!PackageHash::ofFile(
                    download + packages[p].name + QStringLiteral(".zip"), &hash, &errorText))
                qFatal("cannot hash %s", qPrintable(packages[p].name));
            results[p].hashing.push_back(
                std::chrono::duration<double>(Clock::now() - start).count());
        }
    }

    // An install of the many small files killed late, then the next start's recovery, which
    // must give back the old tree exactly.
    const double manyInstall = median(results[1].updater);
    const RecoveryFigures recovery
        = measureRecovery(self, work, packages[1], root, rounds, setAside, &turns);

    shell(QStringLiteral("rm -rf %1").arg(quoted(setAside)));

    const double tinyPeak = median(results.back().peak);
    out << Qt::endl
        << QStringLiteral("%1  %2  %3  %4  %5  %6")
               .arg(QStringLiteral("package"), -24)
               .arg(QStringLiteral("updater s"), 10)
               .arg(QStringLiteral("unzip+cp s"), 10)
               .arg(QStringLiteral("ratio"), 6)
               .arg(QStringLiteral("peak MiB"), 9)
               .arg(QStringLiteral("vs tiny"), 8)
        << Qt::endl;
    for (size_t p = 0; p < packages.size(); ++p) {
        const double updater = median(results[p].updater);
        const double baseline = median(results[p].baseline);
        const double peak = median(results[p].peak);
        out << QStringLiteral("%1  %2  %3  %4  %5  %6")
                   .arg(packages[p].label, -24)
                   .arg(updater, 10, 'f', 3)
                   .arg(baseline, 10, 'f', 3)
                   .arg(updater / baseline, 6, 'f', 2)
                   .arg(peak, 9, 'f', 1)
                   .arg(QStringLiteral("%1%2")
                            .arg(peak >= tinyPeak ? QStringLiteral("+") : QString())
                            .arg(peak - tinyPeak, 0, 'f', 1),
                       8)
            << Qt::endl;
    }
    out << "medians of " << rounds << " alternating rounds; targets: ratio <= 0.8 (big), "
        << "<= 0.6 (many), peak <= tiny + 8 MiB" << Qt::endl
        << Qt::endl
        << "ratio by round:" << Qt::endl;
    for (size_t p = 0; p < packages.size(); ++p) {
        out << QStringLiteral("%1").arg(packages[p].label, -24);
        for (size_t r = 0; r < results[p].updater.size(); ++r)
            out << QStringLiteral("  %1").arg(
                results[p].updater[r] / results[p].baseline[r], 0, 'f', 2);
        out << Qt::endl;
    }
    out << Qt::endl
        << "with the check before the install (signature, offer, version; hash from the download):"
        << Qt::endl;
    for (size_t p = 0; p < packages.size(); ++p) {
        const double updater = median(results[p].updater);
        const double checked = median(results[p].checked);
        out << QStringLiteral("%1  %2 s, %3%4 % of the install; peak %5 MiB (%6%7 MiB)")
                   .arg(packages[p].label, -24)
                   .arg(checked, 0, 'f', 3)
                   .arg(checked >= updater ? QStringLiteral("+") : QString())
                   .arg(100 * (checked - updater) / updater, 0, 'f', 1)
                   .arg(median(results[p].checkedPeak), 0, 'f', 1)
                   .arg(median(results[p].checkedPeak) >= median(results[p].peak)
                           ? QStringLiteral("+")
                           : QString())
                   .arg(median(results[p].checkedPeak) - median(results[p].peak), 0, 'f', 1)
            << Qt::endl;
    }
    out << "target: the check adds at most 10 % (big) and a few MiB" << Qt::endl;
    // The hash itself is taken during the download (see the download benchmark); reading the
    // archive again for it would cost this much.
    for (size_t p = 0; p < packages.size(); p += 2) {
        out << QStringLiteral("%1  hashing the archive again instead: %2 s (%3 % of the install)")
                   .arg(packages[p].label, -24)
                   .arg(median(results[p].hashing), 0, 'f', 3)
                   .arg(100 * median(results[p].hashing) / median(results[p].updater), 0, 'f', 1)
            << Qt::endl;
    }
    out << Qt::endl
        << QStringLiteral(
               "recovery of the 5000-file install killed halfway through its changes (%1 "
               "steps journalled, changes %2 s): application folder restored in %3 s, "
               "download folder emptied too in %4 s (install %5 s)")
               .arg(recovery.undone)
               .arg(recovery.changing, 0, 'f', 3)
               .arg(median(recovery.restorations), 0, 'f', 3)
               .arg(median(recovery.recoveries), 0, 'f', 3)
               .arg(manyInstall, 0, 'f', 3)
        << Qt::endl;
    return 0;
}
/// The complete install of packages of counts small files against the recovery of the same
/// install killed halfway through its changes.
int runRecoveryBenchmark(const QString &work, int rounds, const std::vector<int> &counts)
{
    QTextStream out(stdout);
    QDir().mkpath(work);
    const QString self = QCoreApplication::applicationFilePath();
    const QString root = work + QStringLiteral("/root");
    const QString download = work + QStringLiteral("/tupdates/");
    const QString setAside
        = work + QStringLiteral("/set-aside-%1/").arg(QCoreApplication::applicationPid());
    int turns = 0;
    struct Row
    {
        int count = 0;
        double install = 0;
        RecoveryFigures recovery;
    };
    std::vector<PackageSpec> packages;
    for (const int count : counts) {
        // As many folders as the 5000-file package, files of 1-4 KiB to keep the big one small.
        std::vector<std::pair<QString, qint64>> files;
        std::mt19937 sizes(11);
        for (int i = 0; i < count; ++i)
            files.push_back({ QStringLiteral("f%1/file%2.dat").arg(i % 50).arg(i),
                1024 + qint64(sizes() % (3 * 1024 + 1)) });
        const QString name = QStringLiteral("files%1").arg(count);
        out << "preparing " << count << " files in " << work << Qt::endl;
        // An earlier run's archive, so that the trees need not be made again.
        const QString kept = work + QStringLiteral("/kept-") + name + QStringLiteral(".zip");
        if (QDir().mkpath(download) && QFileInfo::exists(kept))
            QFile::copy(kept, download + name + QStringLiteral(".zip"));
        packages.push_back(
            preparePackage(work, name, QStringLiteral("%1 files").arg(count), files));
        // Before a round of another package moves the download folder aside.
        keptArchive(work, packages.back());
    }
    std::vector<Row> rows;
    for (const PackageSpec &package : packages) {
        const QString name = package.name;
        Row row { int(package.files.size()), 0, {} };
        // The installs first: the recovery's mass deletions would slow down their file creation.
        std::vector<double> installs;
        // Round -1 warms the caches and is not counted.
        for (int round = -1; round < rounds; ++round) {
            prepareRecoveryRound(work, package, root, setAside, &turns);
            const Measurement m = runChild(
                { self, QStringLiteral("install"), download, name, QStringLiteral("-root"), root });
            if (m.exitCode != 0)
                qFatal("install of %s failed", qPrintable(name));
            if (round >= 0)
                installs.push_back(m.seconds);
        }
        row.install = median(installs);
        row.recovery = measureRecovery(self, work, package, root, rounds, setAside, &turns);
        rows.push_back(row);
    }
    shell(QStringLiteral("rm -rf %1").arg(quoted(setAside)));

    out << Qt::endl
        << QStringLiteral("%1  %2  %3  %4  %5  %6")
               .arg(QStringLiteral("files"), 8)
               .arg(QStringLiteral("install s"), 10)
               .arg(QStringLiteral("restored s"), 10)
               .arg(QStringLiteral("recovery s"), 10)
               .arg(QStringLiteral("ratio"), 6)
               .arg(QStringLiteral("removal s"), 10)
        << Qt::endl;
    for (const Row &row : rows) {
        const double recovery = median(row.recovery.recoveries);
        out << QStringLiteral("%1  %2  %3  %4  %5  %6")
                   .arg(row.count, 8)
                   .arg(row.install, 10, 'f', 3)
                   .arg(median(row.recovery.restorations), 10, 'f', 3)
                   .arg(recovery, 10, 'f', 3)
                   .arg(recovery / row.install, 6, 'f', 2)
                   .arg(median(row.recovery.removals), 10, 'f', 3)
            << Qt::endl;
    }
    out << "medians of " << rounds << " rounds; the install killed halfway through its changes; "
        << "restored: until the journal says the run was undone; target: ratio <= 2; removal: "
        << "what the recovery moved aside, once the windows are closed" << Qt::endl;
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "install") == 0)
        return runInstall(argc, argv);
    if (argc >= 4 && std::strcmp(argv[1], "recover") == 0)
        return runRecover(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "remove") == 0)
        return runRemove(argc, argv);
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    // "recovery <rounds> <work> [file counts]".
    if (arguments.size() >= 4 && arguments.at(1) == QLatin1String("recovery")) {
        std::vector<int> counts;
        for (const QString &count : arguments.mid(4))
            counts.push_back(count.toInt());
        if (counts.empty())
            counts = { 5000, 100000 };
        return runRecoveryBenchmark(arguments.at(3), std::max(arguments.at(2).toInt(), 1), counts);
    }
    if (arguments.size() < 3 || arguments.at(1) != QLatin1String("run")) {
        std::fprintf(stderr,
            "usage: install-bench run [rounds] <work folder> [root parent]\n"
            "       install-bench recovery <rounds> <work folder> [file count...]\n");
        return 2;
    }
    // "run <work>", "run <rounds> <work>" or "run <rounds> <work> <root parent>".
    const bool counted = arguments.size() >= 4;
    const int rounds = counted ? arguments.at(2).toInt() : 3;
    return runBenchmark(arguments.at(counted ? 3 : 2), std::max(rounds, 1), arguments.value(4));
}
