#include "cataloguecache.h"

#include "serverlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QStringDecoder>

#include <algorithm>

#include <sys/stat.h>

namespace {

// Far more than a minisign signature file, whose comments minisign keeps under 1 KiB each.
constexpr qint64 MaximumSignatureSize = 16 * 1024;
// How long a signature file's identity is trusted before it is compared again: a stat per
// offer would cost a tenth of a query.
constexpr qint64 SignatureCheckInterval = 1000;

bool isXmlCharacter(uint c)
{
    return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff)
        || (c >= 0xe000 && c <= 0xfffd) || (c >= 0x10000 && c <= 0x10ffff);
}

} // namespace

bool CatalogueCache::FileIdentity::operator==(const FileIdentity &other) const
{
    return exists == other.exists && device == other.device && inode == other.inode
        && size == other.size && seconds == other.seconds && nanoseconds == other.nanoseconds;
}

CatalogueCache::CatalogueCache(QString folder)
    : m_folder(std::move(folder)), m_indexPath(QDir(m_folder).filePath(Catalogue::indexFileName()))
{
    m_clock.start();
}

bool CatalogueCache::refresh(QString *errorText)
{
    const FileIdentity current = identityOf(m_indexPath);
    if (m_loaded && current == m_indexIdentity)
        return true;
    if (m_loaded && current == m_failedIdentity)
        return true;

    QFile file(m_indexPath);
    Catalogue catalogue;
    FileIdentity identity = current;
    bool read = file.open(QIODevice::ReadOnly);
    if (read) {
        // The identity of the file actually read: a rename between the two looks is seen as a
        // change at the next query and read then.
        identity = identityOf(file.handle());
        read = catalogue.read(&file, file.fileName(), errorText);
    } else {
        *errorText = QCoreApplication::translate("translation", "Cannot read %1: %2", "nc")
                         .arg(file.fileName(), file.errorString());
    }
    if (!read) {
        if (!m_loaded)
            return false;
        // Only a file that was read and found broken waits for its next change; one that
        // could not be opened (out of descriptors, say) is tried again at the next query.
        if (file.isOpen())
            m_failedIdentity = identity;
        ServerLog::write(QStringLiteral("catalogue not read again, the one read before stays: %1")
                             .arg(*errorText));
        return true;
    }

    m_catalogue = catalogue;
    m_indexIdentity = identity;
    m_failedIdentity.reset();
    m_loaded = true;
    ++m_generation;
    // Signature files already read are kept, to be compared with their files at first use.
    QHash<QString, SignatureFile> known;
    for (const SignatureFile &file : std::as_const(m_signatures))
        known.insert(file.name, file);
    m_signatures.clear();
    for (const CatalogueEntry &entry : m_catalogue.entries()) {
        SignatureFile file = known.value(entry.signatureFileName());
        file.name = entry.signatureFileName();
        m_signatures.append(file);
    }
    ServerLog::write(
        QStringLiteral("catalogue read: %1 components").arg(m_catalogue.entries().size()));
    return true;
}

const CatalogueCache::Signature &CatalogueCache::signature(qsizetype index)
{
    SignatureFile &file = m_signatures[index];
    const qint64 now = m_clock.elapsed();
    if (file.checkedGeneration == m_generation && now - file.checkedAt < SignatureCheckInterval)
        return file.signature;
    const QString path = QDir(m_folder).filePath(file.name);
    if (file.checkedGeneration < 0 || file.identity != identityOf(path))
        readSignature(path, &file);
    file.checkedAt = now;
    file.checkedGeneration = m_generation;
    return file.signature;
}

CatalogueCache::Signature CatalogueCache::readSignature(const QString &fileName)
{
    SignatureFile file;
    readSignature(QDir(m_folder).filePath(fileName), &file);
    return file.signature;
}

CatalogueCache::FileIdentity CatalogueCache::identityOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return FileIdentity();
    return { true, status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
        status.st_mtim.tv_nsec };
}

CatalogueCache::FileIdentity CatalogueCache::identityOf(int descriptor)
{
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0)
        return FileIdentity();
    return { true, status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
        status.st_mtim.tv_nsec };
}

// The file is the publisher's, not ours to vouch for: only text that the reply can carry
// unchanged is sent; otherwise the offer goes out without a signature, as if the file were
// missing, and the log names it.
void CatalogueCache::readSignature(const QString &path, SignatureFile *file)
{
    file->signature = { QString(), false, ++m_signatureReads };
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        file->identity = identityOf(path);
        file->signature.unusable = file->identity.exists;
        return;
    }
    file->identity = identityOf(input.handle());
    const QByteArray bytes = input.read(MaximumSignatureSize + 1);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    const QList<uint> characters = text.toUcs4();
    const bool usable = input.error() == QFileDevice::NoError && !bytes.isEmpty()
        && bytes.size() <= MaximumSignatureSize && !decoder.hasError()
        && std::all_of(characters.cbegin(), characters.cend(), isXmlCharacter);
    if (usable)
        file->signature.text = text;
    else
        file->signature.unusable = true;
}
