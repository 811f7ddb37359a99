#include "deltabuilder.h"

#include "packagehash.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>

#include <algorithm>
#include <memory>

#include <zstd.h>

namespace {

struct EncoderFree
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

// A file mapped whole for reading; an empty one maps to nothing.
struct Mapped
{
    QFile file;
    const uchar *data = nullptr;

    bool open(const QString &path)
    {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        data = file.size() > 0 ? file.map(0, file.size()) : nullptr;
        return file.size() == 0 || data;
    }
    size_t size() const { return size_t(file.size()); }
};

struct Patch
{
    QString relative;
    QString entry;
    QByteArray bytes;
    qint64 size;
    QByteArray base;
    QByteArray result;
};

} // namespace

DeltaBuilder::DeltaBuilder(QString project, QString name, QString type)
    : m_project(std::move(project)), m_name(std::move(name)), m_type(std::move(type))
{
}

bool DeltaBuilder::makePatch(
    const QString &oldPath, const QString &newPath, QByteArray *patch, QString *errorText)
{
    Mapped base;
    Mapped target;
    if (!base.open(oldPath) || !target.open(newPath)) {
        *errorText = tr("Cannot read %1").arg(base.file.isOpen() ? newPath : oldPath);
        return false;
    }
    if (makePatch(base.data, base.size(), target.data, target.size(), patch, errorText))
        return true;
    *errorText = tr("Cannot make the patch of %1: %2").arg(newPath, *errorText);
    return false;
}

bool DeltaBuilder::makePatch(const uchar *base, size_t baseSize, const uchar *target,
    size_t targetSize, QByteArray *patch, QString *errorText)
{
    const std::unique_ptr<ZSTD_CCtx, EncoderFree> encoder(ZSTD_createCCtx());
    // As zstd --patch-from: a window that reaches across the old file, long matches on.
    const size_t largest = std::max<size_t>({ baseSize, targetSize, 1 });
    int windowLog = 1;
    while (windowLog < 31 && (size_t(1) << windowLog) <= largest)
        ++windowLog;
    windowLog = std::clamp(windowLog + 1, 10, 31);
    // The slowest level pays off on the files of a release; very large files get a faster one.
    const int level = targetSize > 64 * 1024 * 1024 ? 9 : 19;
    ZSTD_CCtx *context = encoder.get();
    if (!context || ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level))
        || ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog))
        || ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1))
        || ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1))
        || ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context, targetSize))
        || ZSTD_isError(ZSTD_CCtx_refPrefix(context, base, baseSize))) {
        *errorText = QStringLiteral("zstd parameters");
        return false;
    }
    patch->clear();
    QByteArray chunk(int(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    ZSTD_inBuffer input { target, targetSize, 0 };
    for (;;) {
        ZSTD_outBuffer output { chunk.data(), size_t(chunk.size()), 0 };
        const size_t left = ZSTD_compressStream2(context, &output, &input, ZSTD_e_end);
        if (ZSTD_isError(left)) {
            *errorText = QString::fromLatin1(ZSTD_getErrorName(left));
            return false;
        }
        patch->append(chunk.constData(), qsizetype(output.pos));
        if (left == 0)
            return true;
    }
}

bool DeltaBuilder::build(const QString &oldRoot, const QString &newRoot, const QStringList &removed,
    const QStringList &added, const QStringList &changed, const QString &outputPath,
    QString *errorText)
{
    m_patchCount = 0;
    const QString packageFileName = QFileInfo(outputPath).fileName();
    const QString prefix = QStringLiteral("%1_%2_%3.patch.").arg(m_project, m_name, m_type);
    const QDir oldDir(oldRoot);
    const QDir newDir(newRoot);
    QList<Patch> patches;
    QStringList whole = added;
    for (const QString &relative : changed) {
        Patch patch { relative, prefix + QString::number(patches.size()), QByteArray(),
            QFileInfo(newDir.filePath(relative)).size(), QByteArray(), QByteArray() };
        if (!makePatch(
                oldDir.filePath(relative), newDir.filePath(relative), &patch.bytes, errorText)
            || !PackageHash::ofFile(oldDir.filePath(relative), &patch.base, errorText)
            || !PackageHash::ofFile(newDir.filePath(relative), &patch.result, errorText))
            return false;
        if (patch.bytes.size() >= patch.size && patch.size > 0)
            whole << relative;
        else
            patches << patch;
    }
    std::sort(whole.begin(), whole.end());
    QStringList listed = added + changed;
    std::sort(listed.begin(), listed.end());

    QByteArray descriptor;
    QXmlStreamWriter writer(&descriptor);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("package"));
    writer.writeAttribute(QStringLiteral("project"), m_project);
    writer.writeAttribute(QStringLiteral("name"), m_name);
    writer.writeAttribute(QStringLiteral("type"), m_type);
    const auto writeFile = [&writer](const QString &relative, const QString &action) {
        writer.writeEmptyElement(QStringLiteral("file"));
        writer.writeAttribute(QStringLiteral("name"), ZipWriter::fileNameOf(relative));
        writer.writeAttribute(QStringLiteral("path"), ZipWriter::folderOf(relative));
        writer.writeAttribute(QStringLiteral("action"), action);
    };
    for (const QString &relative : removed)
        writeFile(relative, QStringLiteral("remove"));
    for (const QString &relative : std::as_const(listed))
        writeFile(relative, QStringLiteral("add"));
    for (const Patch &patch : std::as_const(patches)) {
        writer.writeEmptyElement(QStringLiteral("patch"));
        writer.writeAttribute(QStringLiteral("name"), ZipWriter::fileNameOf(patch.relative));
        writer.writeAttribute(QStringLiteral("path"), ZipWriter::folderOf(patch.relative));
        writer.writeAttribute(QStringLiteral("entry"), patch.entry);
        writer.writeAttribute(QStringLiteral("size"), QString::number(patch.size));
        writer.writeAttribute(QStringLiteral("base"), QString::fromLatin1(patch.base.toHex()));
        writer.writeAttribute(QStringLiteral("result"), QString::fromLatin1(patch.result.toHex()));
    }
    writer.writeEndElement();
    writer.writeEndDocument();

    const QString partPath = outputPath + QLatin1String(".part");
    ZipWriter zip;
    bool written = zip.open(partPath, errorText)
        && zip.addData(
            (packageFileName.chopped(4) + QLatin1String(".xml")).toLatin1(), descriptor, errorText);
    for (const QString &relative : std::as_const(whole)) {
        if (!written)
            break;
        const QString source = newDir.filePath(relative);
        written = zip.addFile(relative.toLatin1(), source, errorText, ZipWriter::modeOf(source));
    }
    // Each patch entry records the mode of the file it makes.
    for (const Patch &patch : std::as_const(patches)) {
        if (!written)
            break;
        written = zip.addData(patch.entry.toLatin1(), patch.bytes, errorText,
            ZipWriter::NameFlag::None, ZipWriter::modeOf(newDir.filePath(patch.relative)));
    }
    written = zip.closeInto(outputPath, written, errorText);
    m_patchCount = written ? int(patches.size()) : 0;
    return written;
}
