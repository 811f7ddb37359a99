#include "updatequeryconnection.h"

#include "catalogue.h"
#include "inventoryparser.h"
#include "serverlog.h"
#include "updatereplybuilder.h"

#include <QTcpSocket>

UpdateQueryConnection::UpdateQueryConnection(QTcpSocket *socket, QString catalogueFolder,
    QString baseUrl, int idleTimeout, qsizetype maximumRequestSize, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_catalogueFolder(std::move(catalogueFolder))
    , m_baseUrl(std::move(baseUrl))
    , m_maximumRequestSize(maximumRequestSize)
{
    m_socket->setParent(this);
    m_peer
        = QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(idleTimeout);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        if (m_outcome.isEmpty())
            drop(QStringLiteral("dropped: nothing received for %1 ms").arg(m_idleTimer.interval()));
        else
            drop(m_outcome + QStringLiteral("; the peer did not take the reply, aborted"));
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &UpdateQueryConnection::readRequest);
    connect(m_socket, &QTcpSocket::disconnected, this, &UpdateQueryConnection::finish);
    m_idleTimer.start();
    // Bytes may have arrived with the connection itself.
    readRequest();
}

void UpdateQueryConnection::readRequest()
{
    if (!m_outcome.isEmpty()) {
        // The reply is out; whatever the peer sends now is not part of the exchange.
        m_socket->readAll();
        return;
    }
    m_request += m_socket->read(m_maximumRequestSize + 1 - m_request.size());
    if (m_request.size() > m_maximumRequestSize) {
        drop(QStringLiteral("dropped: request longer than %1 bytes").arg(m_maximumRequestSize));
        return;
    }
    if (InventoryParser::isComplete(m_request))
        answer();
    else
        m_idleTimer.start();
}

void UpdateQueryConnection::answer()
{
    m_idleTimer.stop();
    QList<InventoryParser::Component> components;
    QString errorText;
    if (!InventoryParser::parse(m_request, &components, &errorText)) {
        drop(QStringLiteral("dropped: %1").arg(errorText));
        return;
    }
    Catalogue catalogue;
    if (!catalogue.load(m_catalogueFolder, false, &errorText)) {
        drop(QStringLiteral("dropped: %1").arg(errorText));
        return;
    }
    UpdateReplyBuilder::Summary summary;
    const QByteArray reply
        = UpdateReplyBuilder::build(components, catalogue, m_catalogueFolder, m_baseUrl, &summary);
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
    m_idleTimer.start();
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
    m_idleTimer.stop();
    ServerLog::write(QStringLiteral("update %1 %2").arg(m_peer, m_outcome));
    deleteLater();
}
