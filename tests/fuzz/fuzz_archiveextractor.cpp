// Any bytes, extracted as a package archive, may fail but never put anything outside the
// target folder. The target sits three folders deep in a sentinel folder that must hold
// nothing else afterwards, so that entries climbing out with "..", absolute names or links
// show up there; every file reported as extracted must be a plain file inside the target.
#include "archiveextractor.h"
#include "fuzzcheck.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {
// Temporary folders in memory where there is such a file system: each run writes files.
QString scratchBase()
{
    const QString shm = QStringLiteral("/dev/shm");
    return QFileInfo(shm).isDir() && QFileInfo(shm).isWritable() ? shm : QDir::tempPath();
}

struct Folders
{
    QTemporaryDir archiveFolder { scratchBase() + QStringLiteral("/orvi-fuzz-archive-XXXXXX") };
    QTemporaryDir sentinel { scratchBase() + QStringLiteral("/orvi-fuzz-sentinel-XXXXXX") };
    QString archive = archiveFolder.filePath(QStringLiteral("package.zip"));
    QString chain = sentinel.filePath(QStringLiteral("a/b/c"));
    QString target = chain + QStringLiteral("/target/");
};

// Everything below folder, links not followed.
QStringList everythingBelow(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Folders folders;
    FUZZ_CHECK(folders.archiveFolder.isValid() && folders.sentinel.isValid());
    QFile archive(folders.archive);
    FUZZ_CHECK(archive.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(archive.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    archive.close();
    FUZZ_CHECK(QDir().mkpath(folders.target));

    QStringList extracted;
    ArchiveExtractor extractor(folders.archive, folders.target);
    extractor.extractAll([&extracted](const QString &name, int) { extracted << name; });

    const QString sentinel = folders.sentinel.path();
    QStringList allowed { sentinel + QStringLiteral("/a"), sentinel + QStringLiteral("/a/b"),
        folders.chain, folders.target.chopped(1) };
    for (const QString &path : everythingBelow(sentinel)) {
        if (allowed.contains(path))
            FUZZ_CHECK(QFileInfo(path).isDir() && !QFileInfo(path).isSymLink());
        else
            FUZZ_CHECK(path.startsWith(folders.target) && !QFileInfo(path).isSymLink());
    }
    for (const QString &name : std::as_const(extracted)) {
        const QFileInfo file(folders.target + name);
        FUZZ_CHECK(QDir::cleanPath(file.filePath()).startsWith(folders.target));
        FUZZ_CHECK(file.isFile() && !file.isSymLink());
    }
    FUZZ_CHECK(QDir(folders.target).removeRecursively());
    return 0;
}
