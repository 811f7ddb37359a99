#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

/*
 * One HTTP exchange: reads the request head, answers HEAD or GET for a catalogue file with
 * its Content-Length, streams a GET body from disk in pieces as the peer takes them, and
 * closes ("Connection: close"). Logs one line and deletes itself when the connection is over.
 */
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    /// Takes over socket (reparented to this object).
    HttpConnection(QTcpSocket *socket, QString catalogueFolder, int idleTimeout, QObject *parent);

    /// The catalogue file that target (a request target such as "/core-2.0.zip") names, or an
    /// empty string when it names nothing that may be served.
    static QString resolveTarget(const QString &catalogueFolder, const QByteArray &target);

private:
    void readRequest();
    void respond(const QByteArray &requestLine);
    void sendStatus(int status, const QByteArray &reason, bool withBody);
    void sendMore();
    void finish();

    QTcpSocket *m_socket;
    const QString m_catalogueFolder;
    QString m_peer;
    QByteArray m_head;
    QFile m_file;
    qint64 m_remaining = 0;
    QTimer m_idleTimer;
    QString m_outcome;
    bool m_finished = false;
};
