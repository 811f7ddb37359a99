#include "replyparser.h"

#include "updateentry.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>

namespace {
std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

std::string childText(const QDomElement &request, const QString &name)
{
    return utf8(request.firstChildElement(name).text());
}

bool isAnswerWithoutUpdate(const QDomElement &request)
{
    return !request.namedItem(QStringLiteral("latest")).isNull()
            || !request.namedItem(QStringLiteral("noSuchUpdate")).isNull()
            || !request.namedItem(QStringLiteral("noSuchComponent")).isNull();
}
} // namespace

QVector<UpdateEntry *> ReplyParser::parse(const QDomDocument &document)
{
    QVector<UpdateEntry *> entries;
    const QDomNodeList requests = document.elementsByTagName(QStringLiteral("request"));
    for (int i = 0; i < requests.length(); ++i) {
        const QDomElement request = requests.at(i).toElement();
        if (isAnswerWithoutUpdate(request))
            continue;
        const QDomElement critical = request.firstChildElement(QStringLiteral("critical"));
        const QDomElement timestamp = request.firstChildElement(QStringLiteral("timestamp"));
        entries << new UpdateEntry(utf8(request.attribute(QStringLiteral("project"))),
                utf8(request.attribute(QStringLiteral("name"))),
                utf8(request.attribute(QStringLiteral("type"))),
                childText(request, QStringLiteral("version")),
                childText(request, QStringLiteral("description")),
                childText(request, QStringLiteral("copyrights")),
                childText(request, QStringLiteral("author")),
                childText(request, QStringLiteral("webpage")),
                childText(request, QStringLiteral("email")),
                childText(request, QStringLiteral("changelog")),
                childText(request, QStringLiteral("link")),
                critical.text() == QLatin1String("true"), timestamp.text().toUInt(nullptr, 10));
    }
    return entries;
}
