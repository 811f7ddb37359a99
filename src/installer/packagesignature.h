#pragma once

#include "trustedcomment.h"

#include <QByteArray>
#include <QList>
#include <QString>

/*
 * The minisign signature of an update package, as the publisher's mkpackage --sign or
 * minisign -S writes it: an untrusted comment line, the signature line (base64 of the
 * algorithm, the signer's 8-byte key id and the Ed25519 signature), the trusted comment line
 * and the global signature over the signature and the trusted comment. Only prehashed
 * signatures are accepted (BLAKE2b-512 of the file is signed), so a package of any size is
 * checked reading it in pieces.
 */
class PackageSignature
{
public:
    /// A minisign public key.
    struct PublicKey
    {
        QByteArray id; // 8 bytes
        QByteArray key; // 32 bytes, Ed25519
    };

    /// The outcome of verify(): Verified, or why the package is refused.
    enum class Result {
        Verified,
        Unsigned,
        Malformed,
        Legacy,
        UnknownKey,
        ForgedComment,
        NotAPackage,
        OtherComponent,
        OtherVersion,
        OtherFile,
        OtherBase,
        Altered,
    };

    /// Reads the text of a signature file. Carriage returns, blank lines and blanks around
    /// each line are ignored; an empty or blank text is no signature (isEmpty()).
    explicit PackageSignature(const QByteArray &text = QByteArray());

    bool isEmpty() const { return m_empty; }
    /// Whether the text has the four lines of a signature file with their lengths.
    bool isWellFormed() const { return m_wellFormed; }
    /// The trusted comment as it stands in the text.
    const QByteArray &trustedComment() const { return m_trustedComment; }

    /// Checks a package file whose BLAKE2b-512 (PackageHash) is fileHash against the
    /// signature: made by one of keys, with a trusted comment naming exactly expected, over
    /// exactly the file's bytes. Returns Verified, or why not with a short translated reason in
    /// errorText.
    Result verify(const QByteArray &fileHash, const QList<PublicKey> &keys,
        const TrustedComment &expected, QString *errorText = nullptr) const;

    /// Checks the signature as a statement about a message whose BLAKE2b-512 (PackageHash) is
    /// messageHash: made by one of keys, with its trusted comment intact, over exactly those
    /// bytes. What the trusted comment says is the caller's to check. Returns Verified, or
    /// Unsigned, Malformed, Legacy, UnknownKey, ForgedComment or Altered.
    Result verifyStatement(const QByteArray &messageHash, const QList<PublicKey> &keys) const;

    /// Reads a minisign public key, the base64 line of a .pub file. False when it is not one.
    static bool parsePublicKey(const QByteArray &base64, PublicKey *key);
    /// The keys built into this updater (ORVI_UPDATE_PUBLIC_KEYS).
    static QList<PublicKey> builtInKeys();
    /// Whether this updater was built to install unsigned packages (ORVI_UNSIGNED_PACKAGES).
    static bool unsignedPackagesAllowed();
    /// A key id as minisign prints it: 16 upper-case hex digits.
    static QString keyIdText(const QByteArray &id);

private:
    /// The key of keys that made the signature, once its trusted comment is found intact;
    /// otherwise why not, with a translated reason.
    Result checkSigner(const QList<PublicKey> &keys, PublicKey *signer, QString *reason) const;

    bool m_empty = true;
    bool m_wellFormed = false;
    QByteArray m_algorithm;
    QByteArray m_keyId;
    QByteArray m_signature;
    QByteArray m_trustedComment;
    QByteArray m_globalSignature;
};
