#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/*
 * Builds a delta package: the package that turns exactly one installed version (the base)
 * into the new one, carrying each changed file as a zstd patch against the installed file
 * (the old file as the prefix, long-distance matching on, as zstd's --patch-from makes it),
 * and added files and removals as a whole package does. The descriptor lists the files as the
 * whole package's does and adds a "patch" element per patched file (see PackageDescriptor):
 *
 *   <patch name="x.dll" path="a/b" entry="orvi_core_app.patch.0" size="N" base="…" result="…"/>
 *
 * with the BLAKE2b-512 of the installed and of the new file in hex. A patch entry is named
 * "<project>_<name>_<type>.patch.<n>", a name no installed file may have. A changed file whose
 * patch would not be smaller than the file goes whole. The same input gives the same bytes.
 */
class DeltaBuilder
{
public:
    DeltaBuilder(QString project, QString name, QString type);

    /// Writes the delta package from oldRoot to newRoot to outputPath (a name ending in ".zip",
    /// replaced only once complete), given the files that changed as relative paths. False with
    /// errorText when a file cannot be read or the archive cannot be written.
    bool build(const QString &oldRoot, const QString &newRoot, const QStringList &removed,
        const QStringList &added, const QStringList &changed, const QString &outputPath,
        QString *errorText);

    /// How many changed files went as patches in the last build.
    int patchCount() const { return m_patchCount; }

    /// The zstd patch that makes newPath from oldPath; false with errorText when either cannot
    /// be read or the patch cannot be made.
    static bool makePatch(
        const QString &oldPath, const QString &newPath, QByteArray *patch, QString *errorText);
    /// The zstd patch that makes target from base; false when it cannot be made.
    static bool makePatch(const uchar *base, size_t baseSize, const uchar *target,
        size_t targetSize, QByteArray *patch, QString *errorText);

private:
    const QString m_project;
    const QString m_name;
    const QString m_type;
    int m_patchCount = 0;
};
