#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <sodium.h>

/*
 * The publisher's signing key in minisign's formats: makes key pairs, reads secret keys (with
 * or without a password) and signs package files as minisign -S does by default, prehashed
 * (BLAKE2b-512 of the file), so that minisign -V and the updater both accept the signature.
 */
class PackageSigner
{
public:
    PackageSigner();
    ~PackageSigner();
    PackageSigner(const PackageSigner &) = delete;
    PackageSigner &operator=(const PackageSigner &) = delete;

    /// Writes a new key pair to publicKeyPath and secretKeyPath (mode 0600), the secret key
    /// encrypted with password unless it is empty. Fails, writing nothing, when either exists.
    static bool generateKeyPair(const QString &publicKeyPath, const QString &secretKeyPath,
        const QByteArray &password, QString *errorText);

    /// Reads the secret key file; whether it needs a password is known afterwards.
    bool load(const QString &secretKeyPath, QString *errorText);
    bool needsPassword() const { return m_encrypted; }
    /// Decrypts a loaded key that needs a password; a wrong password fails with a message.
    bool unlock(const QByteArray &password, QString *errorText);

    /// Writes the signature file of the file at path, with trustedComment, to signaturePath.
    bool sign(const QString &path, const QByteArray &trustedComment, const QString &signaturePath,
        QString *errorText) const;
    /// The text of a signature file for the bytes message, with trustedComment.
    QByteArray signatureText(const QByteArray &message, const QByteArray &trustedComment) const;
    /// The Ed25519ph signature (libsodium's multi-part one, SHA-512 of the message) of parts,
    /// one after the other, as one message.
    QByteArray signParts(const QList<QByteArrayView> &parts) const;
    /// The public key's base64 line, as the second line of its .pub file.
    QByteArray publicKeyLine() const;

    /// The key id as minisign prints it.
    QString keyIdText() const;

private:
    // Key id, Ed25519 secret key (seed and public key) and checksum, as a key file holds them.
    static constexpr int keyIdSize = 8;
    static constexpr int secretSize = keyIdSize + crypto_sign_SECRETKEYBYTES + 32;

    static bool checksumMatches(const unsigned char *secret);
    QByteArray prehashedSignatureText(
        const QByteArray &hash, const QByteArray &trustedComment) const;

    std::array<unsigned char, secretSize> m_secret {};
    std::array<unsigned char, crypto_pwhash_scryptsalsa208sha256_SALTBYTES> m_salt {};
    quint64 m_opsLimit = 0;
    quint64 m_memLimit = 0;
    bool m_loaded = false;
    bool m_encrypted = false;
};
