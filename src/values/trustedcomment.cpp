#include "trustedcomment.h"

#include <QList>

namespace {

const char prefix[] = "orvi-package";
const char *const fieldNames[] = { "project", "name", "type", "version", "file" };

} // namespace

QByteArray TrustedComment::toText() const
{
    const QByteArray *const values[] = { &project, &name, &type, &version, &file };
    QByteArray text(prefix);
    for (int i = 0; i < 5; ++i)
        text += ' ' + QByteArray(fieldNames[i]) + '=' + percentEncoded(*values[i]);
    return text;
}

bool TrustedComment::fromText(const QByteArray &text, TrustedComment *comment)
{
    const QList<QByteArray> parts = text.split(' ');
    if (parts.size() != 6 || parts.at(0) != prefix)
        return false;
    QByteArray *const values[]
        = { &comment->project, &comment->name, &comment->type, &comment->version, &comment->file };
    for (int i = 0; i < 5; ++i) {
        const QByteArray key = QByteArray(fieldNames[i]) + '=';
        if (!parts.at(i + 1).startsWith(key))
            return false;
        *values[i] = QByteArray::fromPercentEncoding(parts.at(i + 1).mid(key.size()));
    }
    return true;
}

QByteArray TrustedComment::percentEncoded(const QByteArray &value)
{
    // QByteArray::toPercentEncoding leaves the same unreserved set and writes upper-case digits.
    return value.toPercentEncoding();
}

bool TrustedComment::operator==(const TrustedComment &other) const
{
    return project == other.project && name == other.name && type == other.type
        && version == other.version && file == other.file;
}
