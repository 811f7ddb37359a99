#include "answersigner.h"

#include "replyschema.h"
#include "serverkeycomment.h"

#include <QCoreApplication>
#include <QFile>
#include <QList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

QByteArray escaped(const QByteArray &text)
{
    QByteArray out;
    for (const char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

} // namespace

bool AnswerSigner::loadFiles(const QString &secretKeyPath, const QByteArray &password,
    const QString &delegationPath, QString *errorText)
{
    QFile file(delegationPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorText = tr("Cannot read %1: %2").arg(delegationPath, file.errorString());
        return false;
    }
    return load(secretKeyPath, password, file.read(64 * 1024), errorText);
}

bool AnswerSigner::load(const QString &secretKeyPath, const QByteArray &password,
    const QByteArray &delegation, QString *errorText)
{
    if (!m_signer.load(secretKeyPath, errorText)
        || (m_signer.needsPassword() && !m_signer.unlock(password, errorText)))
        return false;
    QList<QByteArray> lines;
    for (QByteArray line : delegation.split('\n')) {
        line = line.replace('\r', QByteArray()).trimmed();
        if (!line.isEmpty())
            lines << line;
    }
    const QByteArray trustedPrefix = "trusted comment: ";
    m_trustedComment.clear();
    for (const QByteArray &line : lines) {
        if (line.startsWith(trustedPrefix))
            m_trustedComment = line.mid(trustedPrefix.size());
    }
    m_serverKeyElement = QByteArray("    <") + ReplySchema::serverKey + ' '
        + ReplySchema::serverKeyLine + "=\"" + m_signer.publicKeyLine() + "\">"
        + escaped(lines.join('\n')) + "</" + ReplySchema::serverKey + ">\n";
    return true;
}

bool AnswerSigner::checkDelegation(const QDateTime &now, QString *errorText)
{
    ServerKeyComment comment;
    if (!ServerKeyComment::fromText(m_trustedComment, &comment)) {
        *errorText = tr("The delegation is not a signature of a server key with the trusted "
                        "comment \"%1 key=... expires=...\"")
                         .arg(QLatin1String(ServerKeyComment::prefix));
        return false;
    }
    if (comment.keyId != m_signer.keyIdText()) {
        *errorText = tr("The delegation is for the key %1, not for this server's key %2")
                         .arg(comment.keyId, m_signer.keyIdText());
        return false;
    }
    if (comment.expires < now) {
        *errorText = tr("The delegation expired at %1").arg(comment.expires.toString(Qt::ISODate));
        return false;
    }
    m_expires = comment.expires;
    return true;
}

void AnswerSigner::appendSignature(QByteArray *answer, QByteArrayView binding) const
{
    // Signed up to the element's "<", its indentation included.
    answer->append("    ");
    const QByteArray signature = m_signer.signParts({ binding, QByteArrayView(*answer) });
    answer->append('<').append(ReplySchema::answerSignature).append('>');
    answer->append(signature.toBase64());
    answer->append("</").append(ReplySchema::answerSignature).append(">\n");
}
