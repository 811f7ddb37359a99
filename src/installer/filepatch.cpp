#include "filepatch.h"

#include "packagehash.h"

#include <QFile>

#include <memory>

#include <zstd.h>

namespace {
struct DecoderFree
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

// A file mapped whole for reading; an empty file maps to nothing, which is fine as a prefix.
class MappedFile
{
public:
    bool open(const QString &path)
    {
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::ReadOnly))
            return false;
        if (m_file.size() == 0)
            return true;
        m_data = m_file.map(0, m_file.size());
        return m_data != nullptr;
    }
    const uchar *data() const { return m_data; }
    size_t size() const { return size_t(m_file.size()); }

private:
    QFile m_file;
    uchar *m_data = nullptr;
};
} // namespace

FilePatch::Result FilePatch::apply(const QString &basePath, const QString &patchPath,
    const QString &targetPath, qint64 targetSize, QByteArray *targetHash, QString *errorText)
{
    MappedFile base;
    if (!base.open(basePath)) {
        *errorText = QFile(basePath).errorString();
        return Result::BaseUnreadable;
    }
    MappedFile patch;
    if (!patch.open(patchPath) || patch.size() == 0 || targetSize < 0 || targetSize > MaxSize) {
        *errorText = QStringLiteral("no patch");
        return Result::CannotDecode;
    }
    // The frame must say the size it makes: a decoder that trusted the descriptor alone could
    // be handed a frame that stops short.
    const unsigned long long declared = ZSTD_getFrameContentSize(patch.data(), patch.size());
    if (declared != static_cast<unsigned long long>(targetSize)) {
        *errorText = QStringLiteral("frame size");
        return Result::CannotDecode;
    }

    QFile target(targetPath);
    // NewOnly never follows a link standing at the name.
    if (!target.open(QIODevice::ReadWrite | QIODevice::NewOnly)
        || (targetSize > 0 && !target.resize(targetSize))) {
        *errorText = target.errorString();
        return Result::CannotWrite;
    }
    PackageHash hash;
    if (targetSize > 0) {
        uchar *output = target.map(0, targetSize);
        if (!output) {
            *errorText = target.errorString();
            return Result::CannotWrite;
        }
        const std::unique_ptr<ZSTD_DCtx, DecoderFree> decoder(ZSTD_createDCtx());
        if (!decoder
            || ZSTD_isError(ZSTD_DCtx_refPrefix(decoder.get(), base.data(), base.size()))) {
            *errorText = QStringLiteral("decoder");
            return Result::CannotDecode;
        }
        // Decoded in one pass into the mapped file: the decoder keeps no window of its own.
        const size_t written = ZSTD_decompressDCtx(
            decoder.get(), output, size_t(targetSize), patch.data(), patch.size());
        if (ZSTD_isError(written) || written != size_t(targetSize)) {
            *errorText = ZSTD_isError(written) ? QString::fromLatin1(ZSTD_getErrorName(written))
                                               : QStringLiteral("short");
            return Result::CannotDecode;
        }
        hash.add(reinterpret_cast<const char *>(output), targetSize);
        target.unmap(output);
    }
    if (!target.flush()) {
        *errorText = target.errorString();
        return Result::CannotWrite;
    }
    target.close();
    *targetHash = hash.result();
    return Result::Applied;
}
