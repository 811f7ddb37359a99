// The update server's reply arrives in pieces of any size. Read piece by piece as the engine
// reads it, it must be accepted exactly when the bytes received so far parse as one document,
// and then give the same catalogue as that one-shot parse.
#include "fuzzcheck.h"
#include "replyparser.h"
#include "replyreader.h"
#include "updateentry.h"

#include <QDomDocument>
#include <QXmlStreamReader>

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

namespace {
using Catalogue = std::vector<std::unique_ptr<UpdateEntry>>;

Catalogue catalogueOf(const QDomDocument &document)
{
    Catalogue catalogue;
    for (UpdateEntry *entry : ReplyParser::parse(document))
        catalogue.emplace_back(entry);
    return catalogue;
}

bool sameEntry(const UpdateEntry &a, const UpdateEntry &b)
{
    return a.project() == b.project() && a.name() == b.name() && a.type() == b.type()
            && a.version() == b.version() && a.description() == b.description()
            && a.copyrights() == b.copyrights() && a.author() == b.author()
            && a.webpage() == b.webpage() && a.email() == b.email()
            && a.changelog() == b.changelog() && a.link() == b.link()
            && a.critical() == b.critical() && a.timestamp() == b.timestamp();
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

// Returns true when the reader has accepted the reply, so that no further piece is fed.
bool checkAgainstOneShot(bool accepted, const ReplyReader &reader, const QByteArray &received)
{
    FUZZ_CHECK(reader.size() == received.size());
    QDomDocument oneShot;
    const bool parses = bool(oneShot.setContent(received, false));
    if (parses && !accepted) {
        FUZZ_CHECK(nestedDeeperThanReaderAllows(received));
        return false;
    }
    FUZZ_CHECK(accepted == parses);
    if (!accepted)
        return false;
    const Catalogue expected = catalogueOf(oneShot);
    const Catalogue actual = catalogueOf(reader.document());
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
        if (checkAgainstOneShot(reader.add(piece), reader, received))
            return 0;
    }
    const QByteArray last = reply.mid(position);
    received += last;
    checkAgainstOneShot(reader.add(last), reader, received);
    return 0;
}
