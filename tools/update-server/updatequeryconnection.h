#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

/*
 * One exchange on the update port: collects the request until its closing marker, answers
 * with the reply document and closes. A peer that sends too much, or goes quiet for the idle
 * timeout before the request is complete, is dropped without a reply. Logs one line and
 * deletes itself when the connection is over.
 */
class UpdateQueryConnection : public QObject
{
    Q_OBJECT

public:
    /// Takes over socket (reparented to this object).
    UpdateQueryConnection(QTcpSocket *socket, QString catalogueFolder, QString baseUrl,
        int idleTimeout, qsizetype maximumRequestSize, QObject *parent);

private:
    void readRequest();
    void answer();
    void drop(const QString &reason);
    void finish();

    QTcpSocket *m_socket;
    const QString m_catalogueFolder;
    const QString m_baseUrl;
    const qsizetype m_maximumRequestSize;
    QString m_peer;
    QByteArray m_request;
    QTimer m_idleTimer;
    QString m_outcome;
    bool m_finished = false;
};
