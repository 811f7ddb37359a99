// Whatever the main application prints, the inventory is the text between the first "<s>"
// and the last "</s>" (or to the end), and the request is that text between the markers, the
// opening one carrying the nonce, every byte sent as the UTF-8 form of the Latin-1 character
// of the same value.
#include "fuzzcheck.h"
#include "updatequery.h"

namespace {
const QByteArray open("<s>");
const QByteArray close("</s>");

// Independent of QString: one byte for ASCII, two for every byte above 127.
QByteArray latin1AsUtf8(const QByteArray &bytes)
{
    QByteArray encoded;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            encoded += char(byte);
        } else {
            encoded += char(0xC0 | (byte >> 6));
            encoded += char(0x80 | (byte & 0x3F));
        }
    }
    return encoded;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray output(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QByteArray> inventory = UpdateQuery::inventory(output);
    // A nonce from the input's first bytes, so that it varies as the server sees it.
    const QByteArray nonce = output.left(32).toHex().leftJustified(64, '0');
    const QByteArray request = UpdateQuery::request(output, nonce);

    const qsizetype first = output.indexOf(open);
    const qsizetype last = output.lastIndexOf(close);
    FUZZ_CHECK(inventory.has_value() == (first >= 0 && last > 0));
    if (!inventory) {
        FUZZ_CHECK(request.isEmpty());
        return 0;
    }
    const qsizetype begin = first + open.size();
    FUZZ_CHECK(output.mid(begin, inventory->size()) == *inventory);
    const qsizetype end = begin + inventory->size();
    // Either the inventory stops at the last closing marker, or that marker overlaps or
    // precedes the opening one and the inventory runs to the end.
    FUZZ_CHECK(end == last || (last < begin && end == output.size()));
    FUZZ_CHECK(request
        == "<s nonce=\"" + nonce + "\"><answerForm name=\"orvi-update-answer-2\"/>"
            + latin1AsUtf8(*inventory) + close);
    return 0;
}
