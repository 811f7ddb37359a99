#include "packagesigner.h"

#include "packagehash.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <vector>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

// minisign's layout of a secret key: algorithms, scrypt salt and limits, then the secret part.
constexpr int kdfOffset = 2;
constexpr int checksumAlgorithmOffset = 4;
constexpr int saltOffset = 6;
constexpr int opsLimitOffset = saltOffset + crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr int memLimitOffset = opsLimitOffset + 8;
constexpr int secretOffset = memLimitOffset + 8;
constexpr int publicKeySize = crypto_sign_PUBLICKEYBYTES;

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

quint64 readLittleEndian(const QByteArray &data, int offset)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(data.at(offset + i));
    return value;
}

QByteArray littleEndian(quint64 value)
{
    QByteArray data;
    for (int i = 0; i < 8; ++i)
        data.append(static_cast<char>((value >> (8 * i)) & 0xff));
    return data;
}

// The base64 line of a key file: the first line that is not a comment.
QByteArray keyLine(const QByteArray &text)
{
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (!line.isEmpty() && !line.startsWith("untrusted comment:"))
            return line;
    }
    return QByteArray();
}

QString idText(const unsigned char *id)
{
    QString text;
    for (int i = 7; i >= 0; --i)
        text += QStringLiteral("%1").arg(id[i], 2, 16, QLatin1Char('0')).toUpper();
    return text;
}

// The scrypt stream that a secret key's secret part is XORed with, as minisign derives it.
bool keyStream(const QByteArray &password, const unsigned char *salt, quint64 opsLimit,
    quint64 memLimit, unsigned char *stream, int size)
{
    return crypto_pwhash_scryptsalsa208sha256(stream, static_cast<unsigned long long>(size),
               password.constData(), static_cast<unsigned long long>(password.size()), salt,
               static_cast<unsigned long long>(opsLimit), static_cast<size_t>(memLimit))
        == 0;
}

void checksum(const unsigned char *secret, unsigned char *out)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>("Ed"), 2);
    crypto_generichash_update(&state, secret, 8 + crypto_sign_SECRETKEYBYTES);
    crypto_generichash_final(&state, out, 32);
}

bool writeNewFile(const QString &path, const QByteArray &contents, QFileDevice::Permissions mode,
    QString *errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, mode)
        || file.write(contents) != contents.size() || !file.flush()) {
        *errorText = tr("Cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    file.close();
    return true;
}

} // namespace

PackageSigner::PackageSigner()
{
    if (sodium_init() < 0)
        qFatal("libsodium cannot be initialised");
}

PackageSigner::~PackageSigner()
{
    sodium_memzero(m_secret.data(), m_secret.size());
}

bool PackageSigner::generateKeyPair(const QString &publicKeyPath, const QString &secretKeyPath,
    const QByteArray &password, QString *errorText)
{
    PackageSigner signer;
    for (const QString &path : { publicKeyPath, secretKeyPath }) {
        if (QFile::exists(path)) {
            *errorText = tr("%1 exists already; a key is never overwritten").arg(path);
            return false;
        }
    }
    unsigned char *const id = signer.m_secret.data();
    unsigned char *const secretKey = id + keyIdSize;
    unsigned char publicKey[publicKeySize];
    randombytes_buf(id, keyIdSize);
    crypto_sign_keypair(publicKey, secretKey);
    checksum(id, secretKey + crypto_sign_SECRETKEYBYTES);

    QByteArray secretPart(reinterpret_cast<const char *>(id), secretSize);
    QByteArray kdf("\0\0", 2);
    QByteArray salt(crypto_pwhash_scryptsalsa208sha256_SALTBYTES, '\0');
    quint64 opsLimit = 0;
    quint64 memLimit = 0;
    if (!password.isEmpty()) {
        // minisign's own cost: the key file may be stolen, and signing is rare.
        kdf = "Sc";
        randombytes_buf(salt.data(), static_cast<size_t>(salt.size()));
        opsLimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
        memLimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;
        std::vector<unsigned char> stream(secretSize);
        if (!keyStream(password, bytes(salt), opsLimit, memLimit, stream.data(), secretSize)) {
            *errorText = tr("Not enough memory to encrypt the secret key");
            return false;
        }
        for (int i = 0; i < secretSize; ++i)
            secretPart[i] = static_cast<char>(secretPart.at(i) ^ stream[size_t(i)]);
        sodium_memzero(stream.data(), stream.size());
    }
    const QByteArray secretFile = "untrusted comment: minisign encrypted secret key\n"
        + ("Ed" + kdf + "B2" + salt + littleEndian(opsLimit) + littleEndian(memLimit) + secretPart)
              .toBase64()
        + '\n';
    const QByteArray publicFile = "untrusted comment: minisign public key " + idText(id).toLatin1()
        + '\n'
        + ("Ed" + QByteArray(reinterpret_cast<const char *>(id), keyIdSize)
            + QByteArray(reinterpret_cast<const char *>(publicKey), publicKeySize))
              .toBase64()
        + '\n';
    if (!writeNewFile(
            secretKeyPath, secretFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner, errorText))
        return false;
    if (!writeNewFile(publicKeyPath, publicFile,
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                | QFileDevice::ReadOther,
            errorText)) {
        QFile::remove(secretKeyPath);
        return false;
    }
    return true;
}

bool PackageSigner::load(const QString &secretKeyPath, QString *errorText)
{
    QFile file(secretKeyPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorText = tr("Cannot read the secret key %1: %2").arg(secretKeyPath, file.errorString());
        return false;
    }
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        keyLine(file.read(64 * 1024)), QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray &key = decoded.decoded;
    if (!decoded || key.size() != secretOffset + secretSize || !key.startsWith("Ed")
        || key.mid(checksumAlgorithmOffset, 2) != "B2") {
        *errorText = tr("%1 is not a minisign secret key").arg(secretKeyPath);
        return false;
    }
    const QByteArray kdf = key.mid(kdfOffset, 2);
    if (kdf != "Sc" && kdf != QByteArray("\0\0", 2)) {
        *errorText = tr("%1 is encrypted in a way this tool does not know").arg(secretKeyPath);
        return false;
    }
    m_encrypted = kdf == "Sc";
    std::copy(key.cbegin() + saltOffset, key.cbegin() + opsLimitOffset, m_salt.begin());
    m_opsLimit = readLittleEndian(key, opsLimitOffset);
    m_memLimit = readLittleEndian(key, memLimitOffset);
    std::copy(key.cbegin() + secretOffset, key.cend(), m_secret.begin());
    // minisign writes no checksum into a key without a password.
    const bool noChecksum = std::all_of(
        m_secret.cend() - 32, m_secret.cend(), [](unsigned char byte) { return byte == 0; });
    if (!m_encrypted && !noChecksum && !checksumMatches(m_secret.data())) {
        *errorText = tr("The secret key %1 is damaged").arg(secretKeyPath);
        return false;
    }
    m_loaded = !m_encrypted;
    return true;
}

bool PackageSigner::unlock(const QByteArray &password, QString *errorText)
{
    if (!m_encrypted || m_loaded)
        return true;
    std::array<unsigned char, secretSize> secret;
    if (!keyStream(password, m_salt.data(), m_opsLimit, m_memLimit, secret.data(), secretSize)) {
        *errorText = tr("Not enough memory to decrypt the secret key");
        return false;
    }
    for (size_t i = 0; i < secret.size(); ++i)
        secret[i] ^= m_secret[i];
    const bool matches = checksumMatches(secret.data());
    if (matches)
        m_secret = secret;
    sodium_memzero(secret.data(), secret.size());
    if (!matches) {
        *errorText = tr("Wrong password for the secret key");
        return false;
    }
    m_loaded = true;
    return true;
}

bool PackageSigner::checksumMatches(const unsigned char *secret)
{
    unsigned char computed[32];
    checksum(secret, computed);
    return sodium_memcmp(computed, secret + keyIdSize + crypto_sign_SECRETKEYBYTES, 32) == 0;
}

bool PackageSigner::sign(const QString &path, const QByteArray &trustedComment,
    const QString &signaturePath, QString *errorText) const
{
    Q_ASSERT(m_loaded);
    QByteArray hash;
    QString readError;
    if (!PackageHash::ofFile(path, &hash, &readError)) {
        *errorText = tr("Cannot read %1: %2").arg(path, readError);
        return false;
    }

    const QByteArray text = prehashedSignatureText(hash, trustedComment);
    QSaveFile out(signaturePath);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        *errorText = tr("Cannot write %1: %2").arg(signaturePath, out.errorString());
        return false;
    }
    return true;
}

QByteArray PackageSigner::prehashedSignatureText(
    const QByteArray &hash, const QByteArray &trustedComment) const
{
    Q_ASSERT(m_loaded);
    const unsigned char *const id = m_secret.data();
    const unsigned char *const secretKey = id + keyIdSize;
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr, bytes(hash),
        static_cast<unsigned long long>(hash.size()), secretKey);
    const QByteArray signed_ = signature + trustedComment;
    QByteArray globalSignature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(globalSignature.data()), nullptr,
        bytes(signed_), static_cast<unsigned long long>(signed_.size()), secretKey);
    return "untrusted comment: signature from mkpackage secret key\n"
        + ("ED" + QByteArray(reinterpret_cast<const char *>(id), keyIdSize) + signature).toBase64()
        + "\ntrusted comment: " + trustedComment + '\n' + globalSignature.toBase64() + '\n';
}

QByteArray PackageSigner::signatureText(
    const QByteArray &message, const QByteArray &trustedComment) const
{
    PackageHash hash;
    hash.add(message.constData(), message.size());
    return prehashedSignatureText(hash.result(), trustedComment);
}

QByteArray PackageSigner::signParts(const QList<QByteArrayView> &parts) const
{
    Q_ASSERT(m_loaded);
    crypto_sign_state state;
    crypto_sign_init(&state);
    for (const QByteArrayView part : parts) {
        crypto_sign_update(&state, reinterpret_cast<const unsigned char *>(part.data()),
            static_cast<unsigned long long>(part.size()));
    }
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_final_create(&state, reinterpret_cast<unsigned char *>(signature.data()), nullptr,
        m_secret.data() + keyIdSize);
    return signature;
}

QByteArray PackageSigner::publicKeyLine() const
{
    // An Ed25519 secret key in libsodium's form ends with its public key.
    const char *const id = reinterpret_cast<const char *>(m_secret.data());
    return ("Ed" + QByteArray(id, keyIdSize)
        + QByteArray(id + keyIdSize + crypto_sign_SECRETKEYBYTES - publicKeySize, publicKeySize))
        .toBase64();
}

QString PackageSigner::keyIdText() const
{
    return idText(m_secret.data());
}
