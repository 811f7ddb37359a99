#include "trustedcomment.h"

#include <QList>

namespace {

const char packagePrefix[] = "orvi-package";
const char deltaPrefix[] = "orvi-delta";
const char *const packageFields[] = { "project", "name", "type", "version", "file" };
const char *const deltaFields[] = { "project", "name", "type", "version", "base", "file" };

} // namespace

QByteArray TrustedComment::toText() const
{
    const bool delta = !base.isEmpty();
    const QByteArray *const packageValues[] = { &project, &name, &type, &version, &file };
    const QByteArray *const deltaValues[] = { &project, &name, &type, &version, &base, &file };
    const QByteArray *const *values = delta ? deltaValues : packageValues;
    const char *const *names = delta ? deltaFields : packageFields;
    const int count = delta ? 6 : 5;
    QByteArray text(delta ? deltaPrefix : packagePrefix);
    for (int i = 0; i < count; ++i)
        text += ' ' + QByteArray(names[i]) + '=' + percentEncoded(*values[i]);
    return text;
}

bool TrustedComment::fromText(const QByteArray &text, TrustedComment *comment)
{
    const QList<QByteArray> parts = text.split(' ');
    const bool delta = parts.value(0) == deltaPrefix;
    if (!delta && parts.value(0) != packagePrefix)
        return false;
    QByteArray *const packageValues[]
        = { &comment->project, &comment->name, &comment->type, &comment->version, &comment->file };
    QByteArray *const deltaValues[] = { &comment->project, &comment->name, &comment->type,
        &comment->version, &comment->base, &comment->file };
    QByteArray *const *values = delta ? deltaValues : packageValues;
    const char *const *names = delta ? deltaFields : packageFields;
    const int count = delta ? 6 : 5;
    if (parts.size() != count + 1)
        return false;
    comment->base.clear();
    for (int i = 0; i < count; ++i) {
        const QByteArray key = QByteArray(names[i]) + '=';
        if (!parts.at(i + 1).startsWith(key))
            return false;
        *values[i] = QByteArray::fromPercentEncoding(parts.at(i + 1).mid(key.size()));
    }
    // A delta naming no base would read back as a whole package's comment.
    return !delta || !comment->base.isEmpty();
}

QByteArray TrustedComment::percentEncoded(const QByteArray &value)
{
    // QByteArray::toPercentEncoding leaves the same unreserved set and writes upper-case digits.
    return value.toPercentEncoding();
}

bool TrustedComment::operator==(const TrustedComment &other) const
{
    return project == other.project && name == other.name && type == other.type
        && version == other.version && file == other.file && base == other.base;
}
