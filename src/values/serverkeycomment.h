#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

/*
 * What a package key vouches for when it delegates the update query's answers to a server
 * key: which key, and until when. The publisher signs it as the trusted comment
 * "orvi-server-key key=<key id> expires=<YYYY-MM-DDTHH:MM:SSZ>", the key id as minisign prints
 * it (16 hexadecimal digits) and the time in UTC, so that a package's signature, whose comment
 * starts otherwise, never passes for a delegation.
 */
class ServerKeyComment
{
public:
    /// The comment's first word.
    static constexpr char prefix[] = "orvi-server-key";

    /// The delegated key's id, 16 upper-case hexadecimal digits.
    QString keyId;
    /// When the delegation ends, in UTC, to the second.
    QDateTime expires;

    /// The comment text: the prefix and both fields in their order, single spaces.
    QByteArray toText() const;
    /// Reads text into its fields. False unless it is exactly such a comment (hexadecimal
    /// digits of either case).
    static bool fromText(const QByteArray &text, ServerKeyComment *comment);
};
