#include "inventoryparser.h"

#include "replyschema.h"

#include <QCoreApplication>
#include <QStringDecoder>

#include <expat.h>

#include <cstring>
#include <memory>

namespace {
// The opening marker is "<s>" or "<s nonce=...>"; either starts with three bytes of these.
const QByteArray OpenMarker = QByteArrayLiteral("<s>");
const QByteArray NonceMarker = QByteArrayLiteral("<s nonce=\"");
const QByteArray CloseMarker = QByteArrayLiteral("</s>");
// The inventory is a sequence of elements; a root around it makes it one document.
constexpr char DocumentStart[] = "<inventory>";
constexpr char DocumentEnd[] = "</inventory>";

// The updater takes no reply with more requests than this, and each component asks for a
// reply element: a request of more would only make a large reply for nothing.
constexpr qsizetype MaximumComponents = 10000;

struct ParseState
{
    XML_Parser parser;
    QList<InventoryParser::Component> *components;
    bool tooMany = false;
    bool requestBound = false;
};

struct ParserDeleter
{
    void operator()(XML_ParserStruct *parser) const { XML_ParserFree(parser); }
};

void XMLCALL startElement(void *data, const XML_Char *name, const XML_Char **attributes)
{
    auto *state = static_cast<ParseState *>(data);
    if (std::strcmp(name, ReplySchema::answerForm) == 0) {
        for (const XML_Char **attribute = attributes; *attribute; attribute += 2) {
            if (std::strcmp(attribute[0], ReplySchema::answerFormName) == 0
                && std::strcmp(attribute[1], ReplySchema::requestBoundForm) == 0)
                state->requestBound = true;
        }
        return;
    }
    if (std::strcmp(name, "component") != 0)
        return;
    if (state->components->size() >= MaximumComponents) {
        state->tooMany = true;
        XML_StopParser(state->parser, XML_FALSE);
        return;
    }
    InventoryParser::Component component;
    for (const XML_Char **attribute = attributes; *attribute; attribute += 2) {
        QString *value = nullptr;
        if (std::strcmp(attribute[0], "project") == 0)
            value = &component.project;
        else if (std::strcmp(attribute[0], "name") == 0)
            value = &component.name;
        else if (std::strcmp(attribute[0], "type") == 0)
            value = &component.type;
        else if (std::strcmp(attribute[0], "version") == 0)
            value = &component.version;
        if (value)
            *value = QString::fromUtf8(attribute[1]);
    }
    state->components->append(std::move(component));
}

bool isAscii(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// The request as text. The updater sends the main application's bytes widened one byte per
// character and UTF-8 encoded; where that reading gives valid UTF-8 it is undone.
QString decode(const QByteArray &request)
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

} // namespace

// The first "<s>" or "<s " from from on; -1 when none, or when the last "<s" has no byte after
// it yet.
qsizetype openMarkerAt(const QByteArray &received, qsizetype from)
{
    for (qsizetype at = received.indexOf("<s", from); at >= 0;
         at = received.indexOf("<s", at + 1)) {
        if (at + 2 >= received.size())
            return -1;
        if (received.at(at + 2) == '>' || received.at(at + 2) == ' ')
            return at;
    }
    return -1;
}

// The nonce of the opening marker at open in text, its end in *end: the inventory's start.
bool readNonce(const QByteArray &text, qsizetype open, QByteArray *nonce, qsizetype *end)
{
    if (text.at(open + 2) == '>') {
        nonce->clear();
        *end = open + OpenMarker.size();
        return true;
    }
    const qsizetype digits = open + NonceMarker.size();
    if (!QByteArrayView(text).sliced(open).startsWith(NonceMarker)
        || text.size() < digits + InventoryParser::NonceSize + 2
        || QByteArrayView(text).sliced(digits + InventoryParser::NonceSize, 2) != "\">")
        return false;
    *nonce = text.mid(digits, InventoryParser::NonceSize);
    for (const char c : *nonce) {
        if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F'))
            return false;
    }
    *end = digits + InventoryParser::NonceSize + 2;
    return true;
}

bool InventoryParser::isComplete(
    const QByteArray &received, qsizetype *searched, qsizetype *openMarker)
{
    // A marker may straddle the end of what was searched before.
    if (*openMarker < 0)
        *openMarker = openMarkerAt(received, qMax(0, *searched - OpenMarker.size() + 1));
    bool complete = false;
    if (*openMarker >= 0) {
        const qsizetype from
            = qMax(*openMarker + OpenMarker.size(), *searched - CloseMarker.size() + 1);
        // Backwards: the closing marker is almost always the last thing received.
        complete = from <= received.size()
            && QByteArrayView(received).sliced(from).lastIndexOf(CloseMarker) >= 0;
    }
    *searched = received.size();
    return complete;
}

QByteArrayView InventoryParser::requestBytes(const QByteArray &received)
{
    const qsizetype open = openMarkerAt(received, 0);
    const qsizetype close = received.lastIndexOf(CloseMarker);
    if (open < 0 || close < open)
        return QByteArrayView();
    return QByteArrayView(received).sliced(open, close + CloseMarker.size() - open);
}

bool InventoryParser::parse(const QByteArray &request, QList<Component> *components,
    QByteArray *nonce, bool *requestBound, QString *errorText)
{
    components->clear();
    *requestBound = false;
    // Plain ASCII, the usual request, is its own decoding and goes to the parser as it came.
    const QByteArray text = isAscii(request) ? request : decode(request).toUtf8();
    const qsizetype open = openMarkerAt(text, 0);
    const qsizetype close = text.lastIndexOf(CloseMarker);
    if (open < 0 || close < open + OpenMarker.size()) {
        *errorText
            = QCoreApplication::translate("translation", "the request lacks <s> or </s>", "nc");
        return false;
    }
    qsizetype begin = 0;
    if (!readNonce(text, open, nonce, &begin) || close < begin) {
        *errorText = QCoreApplication::translate(
            "translation", "the request's nonce is not 64 hexadecimal digits", "nc");
        return false;
    }
    const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate("UTF-8"));
    if (!parser) {
        *errorText = QCoreApplication::translate("translation", "out of memory", "nc");
        return false;
    }
    ParseState state { parser.get(), components };
    XML_SetUserData(parser.get(), &state);
    XML_SetStartElementHandler(parser.get(), startElement);
    const char *inventory = text.constData() + begin;
    const bool parsed
        = XML_Parse(parser.get(), DocumentStart, int(std::strlen(DocumentStart)), XML_FALSE)
            == XML_STATUS_OK
        && XML_Parse(parser.get(), inventory, int(close - begin), XML_FALSE) == XML_STATUS_OK
        && XML_Parse(parser.get(), DocumentEnd, int(std::strlen(DocumentEnd)), XML_TRUE)
            == XML_STATUS_OK;
    if (state.tooMany) {
        *errorText = QCoreApplication::translate("translation", "more than %1 components", "nc")
                         .arg(MaximumComponents);
        components->clear();
        return false;
    }
    if (!parsed) {
        *errorText = QCoreApplication::translate("translation", "malformed inventory: %1", "nc")
                         .arg(QString::fromUtf8(XML_ErrorString(XML_GetErrorCode(parser.get()))));
        components->clear();
        return false;
    }
    *requestBound = state.requestBound;
    return true;
}
