#pragma once

#include <QByteArray>
#include <QString>

/*
 * Makes one file of a delta package: the installed file patched with a zstd patch made
 * against it (zstd's --patch-from: the installed file is the patch's prefix). Nothing is
 * copied into memory: the installed file and the patch are mapped, and the decoder writes
 * straight into the new file, mapped at its final size, which serves as its window. So the
 * heap holds only the decoder's tables, about 160 KiB, whatever the files' sizes; the page
 * cache holds the rest and gives it back under pressure. The cap is MaxSize per file.
 */
class FilePatch
{
public:
    enum class Result {
        Applied,
        /// The installed file could not be read.
        BaseUnreadable,
        /// The patch is not a zstd frame of the announced size, or does not decode.
        CannotDecode,
        /// The new file could not be created or written; errorText says why.
        CannotWrite,
    };

    /// The largest file a patch may make, and so the largest window a patch may need: 2 GiB.
    static constexpr qint64 MaxSize = qint64(1) << 31;

    /// Writes targetPath (a new file; nothing may stand there) of targetSize bytes from
    /// basePath and the patch in patchPath, and gives the new file's PackageHash in
    /// targetHash. After a failure targetPath may hold a part; errorText says why.
    static Result apply(const QString &basePath, const QString &patchPath,
        const QString &targetPath, qint64 targetSize, QByteArray *targetHash, QString *errorText);
};
