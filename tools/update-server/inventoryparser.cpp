#include "inventoryparser.h"

#include <QCoreApplication>
#include <QStringDecoder>
#include <QXmlStreamReader>

namespace {
const QByteArray OpenMarker = QByteArrayLiteral("<s>");
const QByteArray CloseMarker = QByteArrayLiteral("</s>");
} // namespace

bool InventoryParser::isComplete(const QByteArray &received)
{
    const qsizetype open = received.indexOf(OpenMarker);
    return open >= 0 && received.indexOf(CloseMarker, open + OpenMarker.size()) >= 0;
}

QString InventoryParser::decode(const QByteArray &request)
{
    const QString text = QString::fromUtf8(request);
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return text;
    }
    const QByteArray original = text.toLatin1();
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(original);
    return utf8.hasError() ? text : decoded;
}

bool InventoryParser::parse(
    const QByteArray &request, QList<Component> *components, QString *errorText)
{
    components->clear();
    const QString text = decode(request);
    const qsizetype open = text.indexOf(QLatin1String("<s>"));
    const qsizetype close = text.lastIndexOf(QLatin1String("</s>"));
    if (open < 0 || close < open + 3) {
        *errorText
            = QCoreApplication::translate("translation", "the request lacks <s> or </s>", "nc");
        return false;
    }
    // The inventory is a sequence of elements; a root around it makes it one document.
    const QString document = QLatin1String("<inventory>") + text.mid(open + 3, close - open - 3)
        + QLatin1String("</inventory>");
    QXmlStreamReader reader(document);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement
            || reader.name() != QLatin1String("component"))
            continue;
        const QXmlStreamAttributes attributes = reader.attributes();
        components->append({ attributes.value(QLatin1String("project")).toString(),
            attributes.value(QLatin1String("name")).toString(),
            attributes.value(QLatin1String("type")).toString(),
            attributes.value(QLatin1String("version")).toString() });
    }
    if (reader.hasError()) {
        *errorText = QCoreApplication::translate("translation", "malformed inventory: %1", "nc")
                         .arg(reader.errorString());
        components->clear();
        return false;
    }
    return true;
}
