#include "updatequeryconnection.h"

#include "inventoryparser.h"
#include "serverlog.h"
#include "updatereplybuilder.h"

#include <QTcpSocket>

#include <algorithm>

UpdateQueryConnection::UpdateQueryConnection(
    QTcpSocket *socket, UpdateReplyBuilder *replyBuilder, Limits limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_replyBuilder(replyBuilder), m_limits(limits)
{
    m_socket->setParent(this);
    m_peer
        = QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &UpdateQueryConnection::checkTime);
    connect(m_socket, &QTcpSocket::readyRead, this, &UpdateQueryConnection::readRequest);
    connect(m_socket, &QTcpSocket::disconnected, this, &UpdateQueryConnection::finish);
}

void UpdateQueryConnection::start()
{
    m_age.start();
    m_timer.start(std::min(m_limits.idleTimeout, m_limits.requestDeadline));
    // Bytes may have arrived with the connection itself.
    readRequest();
}

void UpdateQueryConnection::readRequest()
{
    m_lastActivity = m_age.elapsed();
    if (!m_outcome.isEmpty()) {
        // The reply is out; whatever the peer sends now is not part of the exchange.
        m_socket->readAll();
        return;
    }
    m_request += m_socket->read(m_limits.maximumRequestSize + 1 - m_request.size());
    if (m_request.size() > m_limits.maximumRequestSize) {
        drop(QStringLiteral("dropped: request longer than %1 bytes")
                 .arg(m_limits.maximumRequestSize));
        return;
    }
    if (InventoryParser::isComplete(m_request))
        answer();
}

void UpdateQueryConnection::checkTime()
{
    const qint64 now = m_age.elapsed();
    const qint64 idleLeft = m_lastActivity + m_limits.idleTimeout - now;
    // The deadline covers the request only; a reply being taken slowly has the idle limit.
    const qint64 deadlineLeft = m_outcome.isEmpty() ? m_limits.requestDeadline - now : idleLeft;
    if (deadlineLeft <= 0) {
        drop(QStringLiteral("dropped: no complete request within %1 ms")
                 .arg(m_limits.requestDeadline));
    } else if (idleLeft <= 0) {
        if (m_outcome.isEmpty())
            drop(QStringLiteral("dropped: nothing received for %1 ms").arg(m_limits.idleTimeout));
        else
            drop(m_outcome + QStringLiteral("; the peer did not take the reply, aborted"));
    } else {
        m_timer.start(int(std::min(idleLeft, deadlineLeft)));
    }
}

void UpdateQueryConnection::answer()
{
    QList<InventoryParser::Component> components;
    QString errorText;
    if (!InventoryParser::parse(m_request, &components, &errorText)) {
        drop(QStringLiteral("dropped: %1").arg(errorText));
        return;
    }
    UpdateReplyBuilder::Summary summary;
    QByteArray reply;
    if (!m_replyBuilder->build(components, &reply, &summary, &errorText)) {
        drop(QStringLiteral("dropped: %1").arg(errorText));
        return;
    }
    m_outcome = QStringLiteral("%1 components: %2 available, %3 latest, %4 unknown; %5 bytes")
                    .arg(components.size())
                    .arg(summary.available)
                    .arg(summary.latest)
                    .arg(summary.unknown)
                    .arg(reply.size());
    if (!summary.unusableSignatures.isEmpty())
        m_outcome += QStringLiteral("; left out, not a signature text: %1")
                         .arg(summary.unusableSignatures.join(QLatin1String(", ")));
    m_socket->write(reply);
    // Closes once the reply is written; the updater accepts it as soon as it parses.
    m_lastActivity = m_age.elapsed();
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        finish();
}

void UpdateQueryConnection::drop(const QString &reason)
{
    m_outcome = reason;
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    finish();
}

void UpdateQueryConnection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_outcome.isEmpty())
        m_outcome = QStringLiteral("closed by the peer after %1 bytes, no complete request")
                        .arg(m_request.size());
    disconnect(m_socket, nullptr, this, nullptr);
    m_timer.stop();
    ServerLog::write(QStringLiteral("update %1 %2").arg(m_peer, m_outcome));
    emit closed();
    deleteLater();
}
