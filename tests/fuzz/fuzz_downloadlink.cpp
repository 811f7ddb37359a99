// A package link, read byte for byte as the engine reads it, is either refused or names a
// file strictly inside the download folder over http or https, whatever dots, slashes,
// backslashes or escapes it holds.
#include "fuzzcheck.h"
#include "packagedownload.h"

#include <QStringList>
#include <QUrl>

namespace {
const QString downloadFolder = QStringLiteral("/tmp/tupdates/");

// Resolves the path as a file system on either platform would, without QDir: the number of
// levels below the folder it ends at, or -1 when it climbs above the folder on the way.
int levelsBelowFolder(const QString &path)
{
    int depth = 0;
    QString segment;
    for (const QChar c : path + QLatin1Char('/')) {
        if (c != QLatin1Char('/') && c != QLatin1Char('\\')) {
            segment += c;
            continue;
        }
        if (segment == QLatin1String(".."))
            --depth;
        else if (!segment.isEmpty() && segment != QLatin1String("."))
            ++depth;
        segment.clear();
        if (depth < 0)
            return -1;
    }
    return depth;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QUrl link(QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size)));
    const QString refusal = PackageDownload::refusalOf(downloadFolder, link);
    FUZZ_CHECK(refusal == PackageDownload::refusalOf(downloadFolder, link));
    if (!refusal.isEmpty())
        return 0;
    FUZZ_CHECK(link.scheme() == QLatin1String("http") || link.scheme() == QLatin1String("https"));
    FUZZ_CHECK(!link.host().isEmpty());
    const QString file = PackageDownload::packageFileName(downloadFolder, link);
    FUZZ_CHECK(file.startsWith(downloadFolder));
    FUZZ_CHECK(!file.contains(QChar(0)));
    FUZZ_CHECK(levelsBelowFolder(file.mid(downloadFolder.size())) > 0);
    return 0;
}
