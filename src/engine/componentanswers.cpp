#include "componentanswers.h"

#include <QStringDecoder>
#include <QXmlStreamReader>

namespace {
bool echoed(QStringView text)
{
    return text.toUtf8().size() <= ComponentAnswers::MaximumEchoedText;
}
} // namespace

ComponentAnswers ComponentAnswers::expectedFor(const QByteArray &inventory)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(inventory);
    if (utf8.hasError())
        text = QString::fromLatin1(inventory);
    // The inventory is a sequence of elements; the server reads it inside a root of its own.
    QXmlStreamReader reader(QStringLiteral("<inventory>") + text + QStringLiteral("</inventory>"));
    ComponentAnswers answers;
    qsizetype components = 0;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement
            || reader.name() != QLatin1String("component"))
            continue;
        if (++components > MaximumComponents)
            return ComponentAnswers();
        const QXmlStreamAttributes attributes = reader.attributes();
        ComponentKey key { attributes.value(QLatin1String("project")).toString(),
            attributes.value(QLatin1String("name")).toString(),
            attributes.value(QLatin1String("type")).toString() };
        if (echoed(key.project) && echoed(key.name) && echoed(key.type)
            && !answers.m_answered.contains(key)) {
            answers.m_answered.insert(std::move(key), false);
            ++answers.m_unanswered;
        }
    }
    return reader.hasError() ? ComponentAnswers() : answers;
}

void ComponentAnswers::answer(const QString &project, const QString &name, const QString &type)
{
    const auto found = m_answered.find(ComponentKey { project, name, type });
    if (found != m_answered.end() && !found.value()) {
        found.value() = true;
        --m_unanswered;
    }
}

QString ComponentAnswers::firstUnanswered() const
{
    for (auto it = m_answered.cbegin(); it != m_answered.cend(); ++it) {
        if (!it.value())
            return it.key().project + QLatin1Char('/') + it.key().name + QLatin1Char('/')
                + it.key().type;
    }
    return QString();
}
