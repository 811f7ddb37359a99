#include "cataloguecache.h"

#include "serverlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>

#include <sys/stat.h>

namespace {

// Far more than a minisign signature file, whose comments minisign keeps under 1 KiB each.
constexpr qint64 MaximumSignatureSize = 16 * 1024;

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
    QSet<QString> signatureNames;
    for (const CatalogueEntry &entry : m_catalogue.entries())
        signatureNames.insert(entry.signatureFileName());
    for (auto it = m_signatures.begin(); it != m_signatures.end();) {
        if (signatureNames.contains(it.key()))
            ++it;
        else
            it = m_signatures.erase(it);
    }
    ServerLog::write(
        QStringLiteral("catalogue read: %1 components").arg(m_catalogue.entries().size()));
    return true;
}

QString CatalogueCache::signature(const CatalogueEntry &entry, bool *unusable)
{
    const QString name = entry.signatureFileName();
    const QString path = QDir(m_folder).filePath(name);
    auto cached = m_signatures.find(name);
    // One stat per offer instead of a read: a package re-signed in place is still seen.
    if (cached == m_signatures.end() || cached->identity != identityOf(path))
        cached = m_signatures.insert(name, readSignature(path));
    *unusable = cached->unusable;
    return cached->text;
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
CatalogueCache::SignatureFile CatalogueCache::readSignature(const QString &path)
{
    SignatureFile signature;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        signature.identity = identityOf(path);
        signature.unusable = signature.identity.exists;
        return signature;
    }
    signature.identity = identityOf(file.handle());
    const QByteArray bytes = file.read(MaximumSignatureSize + 1);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    const QList<uint> characters = text.toUcs4();
    const bool usable = file.error() == QFileDevice::NoError && !bytes.isEmpty()
        && bytes.size() <= MaximumSignatureSize && !decoder.hasError()
        && std::all_of(characters.cbegin(), characters.cend(), isXmlCharacter);
    if (usable)
        signature.text = text;
    else
        signature.unusable = true;
    return signature;
}
