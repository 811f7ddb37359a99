// The update server's reply arrives in pieces of any size. Read piece by piece as the engine
// reads it, it must be accepted exactly when the bytes received so far parse as one document
// (unless it passes one of the reader's bounds), and then give the catalogue that a reading
// of that document gives.
#include "entrybuilder.h"
#include "fuzzcheck.h"
#include "replyparser.h"
#include "replyreader.h"
#include "updateentry.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QXmlStreamReader>

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

namespace {
using Catalogue = std::vector<std::unique_ptr<UpdateEntry>>;

const char *const itemNames[] = { "version", "description", "copyrights", "author", "webpage",
    "email", "changelog", "link", "critical", "timestamp", "signature", "size" };

QString item(const QDomElement &request, const char *name)
{
    return request.firstChildElement(QLatin1String(name)).text();
}

// The catalogue as the document defines it, and the item text kept for it on the way.
Catalogue referenceCatalogue(const QDomDocument &document, qsizetype *keptText, int *requests)
{
    Catalogue catalogue;
    const QDomNodeList all = document.elementsByTagName(QStringLiteral("request"));
    *requests = all.length();
    *keptText = 0;
    for (int i = 0; i < all.length(); ++i) {
        const QDomElement request = all.at(i).toElement();
        for (const char *name : itemNames)
            *keptText += item(request, name).toUtf8().size();
        if (!request.namedItem(QStringLiteral("latest")).isNull()
            || !request.namedItem(QStringLiteral("noSuchUpdate")).isNull()
            || !request.namedItem(QStringLiteral("noSuchComponent")).isNull())
            continue;
        catalogue.push_back(EntryBuilder()
                                .project(request.attribute(QStringLiteral("project")))
                                .name(request.attribute(QStringLiteral("name")))
                                .type(request.attribute(QStringLiteral("type")))
                                .version(item(request, "version"))
                                .description(item(request, "description"))
                                .copyrights(item(request, "copyrights"))
                                .author(item(request, "author"))
                                .webpage(item(request, "webpage"))
                                .email(item(request, "email"))
                                .changelog(item(request, "changelog"))
                                .link(item(request, "link"))
                                .critical(item(request, "critical") == QLatin1String("true"))
                                .timestamp(item(request, "timestamp").toUInt(nullptr, 10))
                                .signature(item(request, "signature"))
                                .build());
    }
    return catalogue;
}

bool sameEntry(const UpdateEntry &a, const UpdateEntry &b)
{
    return a.project() == b.project() && a.name() == b.name() && a.type() == b.type()
        && a.version() == b.version() && a.description() == b.description()
        && a.copyrights() == b.copyrights() && a.author() == b.author()
        && a.webpage() == b.webpage() && a.email() == b.email() && a.changelog() == b.changelog()
        && a.link() == b.link() && a.critical() == b.critical() && a.timestamp() == b.timestamp()
        && a.signature() == b.signature();
}

bool nestedDeeperThanReaderAllows(const QByteArray &bytes)
{
    QXmlStreamReader reader(bytes);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > ReplyReader::MaxDepth)
            return true;
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    return false;
}

// A document ends with markup: in every encoding the reader knows, its last byte that is not
// blank or zero is '>'. Saves building a document for most prefixes.
bool cannotBeDocument(const QByteArray &bytes)
{
    qsizetype end = bytes.size();
    while (end > 0
        && (bytes[end - 1] == '\0' || bytes[end - 1] == ' ' || bytes[end - 1] == '\t'
            || bytes[end - 1] == '\r' || bytes[end - 1] == '\n'))
        --end;
    return end == 0 || bytes[end - 1] != '>';
}

// Returns true when the reader has accepted the reply, so that no further piece is fed.
bool checkAgainstDocument(bool accepted, ReplyReader &reader, const QByteArray &received)
{
    FUZZ_CHECK(reader.size() == received.size());
    QDomDocument document;
    bool parses = !cannotBeDocument(received) && document.setContent(received, false);
    // The decoder holds back the first bytes of a character until the rest arrives, so the
    // reader may accept a document followed by up to three such bytes. It must then be the
    // document they follow.
    for (int held = 1; accepted && !parses && held <= 3 && held < received.size(); ++held) {
        const QByteArray before = received.chopped(held);
        parses = !cannotBeDocument(before) && document.setContent(before, false);
    }
    if (!parses) {
        FUZZ_CHECK(!accepted);
        return false;
    }
    qsizetype keptText = 0;
    int requests = 0;
    const Catalogue expected = referenceCatalogue(document, &keptText, &requests);
    if (!accepted) {
        FUZZ_CHECK(reader.isHopeless());
        FUZZ_CHECK(nestedDeeperThanReaderAllows(received) || requests > ReplyParser::MaxRequests
            || keptText > ReplyParser::MaxText);
        return false;
    }
    Catalogue actual;
    for (UpdateEntry *entry : reader.takeEntries())
        actual.emplace_back(entry);
    FUZZ_CHECK(actual.size() == expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        FUZZ_CHECK(sameEntry(*actual[i], *expected[i]));
    return true;
}
} // namespace

// Layout: the reply, then (taken from the end) up to 15 piece sizes of 0 to 255 bytes and
// their count; what the listed pieces leave over is the last piece.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const int count = provider.ConsumeIntegralInRange<int>(0, 15);
    std::vector<int> sizes;
    for (int i = 0; i < count; ++i)
        sizes.push_back(provider.ConsumeIntegral<uint8_t>());
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    const QByteArray reply(rest.data(), qsizetype(rest.size()));

    ReplyReader reader;
    QByteArray received;
    qsizetype position = 0;
    for (int pieceSize : sizes) {
        const QByteArray piece = reply.mid(position, pieceSize);
        position += piece.size();
        received += piece;
        if (checkAgainstDocument(reader.add(piece), reader, received))
            return 0;
    }
    const QByteArray last = reply.mid(position);
    received += last;
    checkAgainstDocument(reader.add(last), reader, received);
    return 0;
}
