#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

/*
 * The steps of the update query that need neither the network nor the engine: where the
 * main application lies, how it is started for its inventory, and which bytes go to the
 * update server.
 */
class UpdateQuery
{
public:
    /// The wait for the connection, for the request to be written and for each reply piece.
    static constexpr int NetworkTimeout = 30000;
    /// The limit on the whole exchange with the update server: connect, send and reply.
    static constexpr int QueryTimeout = 60000;
    /// The most taken from the connection at a time, which bounds what waits in memory.
    static constexpr qsizetype ReadChunkSize = 256 * 1024;
    /// The wait for the main application's start, and again for its run.
    static constexpr int MainAppTimeout = 60000;
    /// The largest reply taken in, and the most memory one may hold while it is not yet a
    /// complete document (ReplyReader::cost()).
    static constexpr qsizetype MaxReplySize = 16 * 1024 * 1024;

    /// The command line that asks the main application in rootFolder for its inventory: the
    /// executable's path quoted as a whole, then " -updatequery".
    static QString commandLine(const QString &rootFolder);

    /// The component inventory in the main application's output: from after the first "<s>"
    /// to before the last "</s>" (to the end when that "</s>" comes first). None when a
    /// marker is missing or the last "</s>" opens the output.
    static std::optional<QByteArray> inventory(const QByteArray &output);
    /// The bytes sent to the update server for output: "<s nonce=\"" + nonce + "\">", the
    /// element that asks for answers signed over this request (ReplySchema::answerForm), the
    /// inventory and "</s>", every inventory byte taken as a Latin-1 character and the whole
    /// encoded as UTF-8; empty when output holds no inventory.
    static QByteArray request(const QByteArray &output, const QByteArray &nonce);
    /// A fresh nonce from the system's random source: 64 lower-case hexadecimal digits, so that
    /// no two requests are alike and an answer recorded earlier never fits.
    static QByteArray newNonce();

    /// Runs commandLine with standard output and error merged and returns what it printed.
    /// A run longer than timeoutMs is killed and yields nothing; a program that cannot be
    /// started yields nothing.
    static QByteArray runMainApp(const QString &commandLine, int timeoutMs);
};
