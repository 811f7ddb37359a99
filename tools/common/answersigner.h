#pragma once

#include "packagesigner.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

/*
 * The update server's side of signed answers: its own key, the statement by which a package
 * key delegates answering to that key, and the signature of each answer over its binding to
 * the request (AnswerBinding) and the answer's bytes, in the elements the updater reads
 * (ReplySchema).
 */
class AnswerSigner
{
public:
    /// Reads the server's secret key (unlocked with password when it has one) and the
    /// delegation statement's file; false with errorText when either cannot be read.
    bool loadFiles(const QString &secretKeyPath, const QByteArray &password,
        const QString &delegationPath, QString *errorText);
    /// The same with the statement's text at hand, which is taken as it is.
    bool load(const QString &secretKeyPath, const QByteArray &password,
        const QByteArray &delegation, QString *errorText);
    /// False with errorText unless the statement delegates this key until later than now
    /// (whether a trusted package key made it, only the updaters know).
    bool checkDelegation(const QDateTime &now, QString *errorText);

    /// The server key's id, as minisign prints it.
    QString keyIdText() const { return m_signer.keyIdText(); }
    /// When the delegation ends.
    QDateTime expires() const { return m_expires; }
    /// The line of the answer that carries the key and its delegation, right after the root's
    /// start tag.
    const QByteArray &serverKeyElement() const { return m_serverKeyElement; }
    /// Appends to answer, which holds every byte of the answer so far, the line that carries
    /// its signature over binding (AnswerBinding) and those bytes; the root's end tag comes
    /// next.
    void appendSignature(QByteArray *answer, QByteArrayView binding) const;

private:
    PackageSigner m_signer;
    QByteArray m_trustedComment;
    QDateTime m_expires;
    QByteArray m_serverKeyElement;
};
