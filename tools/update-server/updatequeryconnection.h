#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;
class UpdateReplyBuilder;

/*
 * One exchange on the update port: collects the request until its closing marker, answers
 * with the reply document and closes. A peer that sends too much, goes quiet for the idle
 * timeout, or has not completed its request by the deadline is dropped without a reply. Logs
 * one line and deletes itself when the connection is over.
 */
class UpdateQueryConnection : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        int idleTimeout;
        int requestDeadline;
        qsizetype maximumRequestSize;
    };

    /// Takes over socket (reparented to this object); replies come from replyBuilder.
    UpdateQueryConnection(
        QTcpSocket *socket, UpdateReplyBuilder *replyBuilder, Limits limits, QObject *parent);

    /// Starts the exchange; closed() may come before this returns.
    void start();

signals:
    /// The connection is over and its socket closed; the object deletes itself next.
    void closed();

private:
    void readRequest();
    void answer();
    void checkTime();
    void drop(const QString &reason);
    void finish();

    QTcpSocket *m_socket;
    UpdateReplyBuilder *m_replyBuilder;
    const Limits m_limits;
    QString m_peer;
    QByteArray m_request;
    // One timer for both limits, armed for the earlier one; activity only moves the mark,
    // and the timer re-arms itself when it fires early, so reading costs no timer restarts.
    QTimer m_timer;
    QElapsedTimer m_age;
    qint64 m_lastActivity = 0;
    QString m_outcome;
    bool m_finished = false;
};
