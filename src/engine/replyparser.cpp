#include "replyparser.h"

#include "replyschema.h"
#include "updateentry.h"

#include <QXmlStreamReader>

#include <array>
#include <string>

namespace {
enum Item {
    Version,
    Description,
    Copyrights,
    Author,
    Webpage,
    Email,
    Changelog,
    Link,
    Critical,
    Timestamp,
    Signature,
    Size,
    DeltaBase,
    DeltaLink,
    DeltaSize,
    DeltaSignature,
    ItemCount
};

int itemOf(QStringView name)
{
    using namespace ReplySchema;
    static const std::array<QLatin1String, ItemCount> names { QLatin1String(version),
        QLatin1String(description), QLatin1String(copyrights), QLatin1String(author),
        QLatin1String(webpage), QLatin1String(email), QLatin1String(changelog), QLatin1String(link),
        QLatin1String(critical), QLatin1String(timestamp), QLatin1String(signature),
        QLatin1String(size), QLatin1String(deltaBase), QLatin1String(deltaLink),
        QLatin1String(deltaSize), QLatin1String(deltaSignature) };
    for (int item = 0; item < ItemCount; ++item) {
        if (name == names[item])
            return item;
    }
    return -1;
}

bool isAnswerWithoutUpdate(QStringView name)
{
    return name == QLatin1String(ReplySchema::latest)
        || name == QLatin1String(ReplySchema::noSuchUpdate)
        || name == QLatin1String(ReplySchema::noSuchComponent);
}

// A size is digits only; anything else, or a number too large to be a file, is no size.
std::int64_t sizeOf(const std::string &text)
{
    const QByteArray digits = QByteArray::fromStdString(text).trimmed();
    if (digits.isEmpty() || digits.size() > 18)
        return -1;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
    }
    return digits.toLongLong();
}

std::string utf8(QStringView text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}
} // namespace

struct ReplyParser::Request
{
    std::string project;
    std::string name;
    std::string type;
    std::array<std::string, ItemCount> items;
    std::array<bool, ItemCount> found {};
    bool answered = false;
    bool ended = false;
};

ReplyParser::ReplyParser() = default;
ReplyParser::~ReplyParser() = default;

bool ReplyParser::read(const QXmlStreamReader &reader)
{
    if (m_overBounds)
        return false;
    switch (reader.tokenType()) {
    case QXmlStreamReader::StartElement: {
        const QStringView name = reader.qualifiedName();
        Open open;
        const int parentIndex = m_open.empty() ? -1 : m_open.back().request;
        if (parentIndex >= 0) {
            Request &parent = *m_requests[size_t(parentIndex)];
            if (isAnswerWithoutUpdate(name))
                parent.answered = true;
            const int item = itemOf(name);
            if (item >= 0 && !parent.found[size_t(item)]) {
                parent.found[size_t(item)] = true;
                open.item = item;
                m_capturing.emplace_back(parentIndex, item);
            }
        }
        if (name == QLatin1String(ReplySchema::request)) {
            if (m_requests.size() >= size_t(MaxRequests)) {
                m_overBounds = true;
                return false;
            }
            auto request = std::make_unique<Request>();
            // A repeated attribute counts with its last value.
            for (const QXmlStreamAttribute &attribute : reader.attributes()) {
                const QStringView attributeName = attribute.qualifiedName();
                if (attributeName == QLatin1String(ReplySchema::project))
                    request->project = utf8(attribute.value());
                else if (attributeName == QLatin1String(ReplySchema::name))
                    request->name = utf8(attribute.value());
                else if (attributeName == QLatin1String(ReplySchema::type))
                    request->type = utf8(attribute.value());
            }
            open.request = int(m_requests.size());
            m_requests.push_back(std::move(request));
        }
        m_open.push_back(open);
        break;
    }
    case QXmlStreamReader::EndElement: {
        if (m_open.empty())
            break;
        const Open open = m_open.back();
        m_open.pop_back();
        if (open.item >= 0)
            m_capturing.pop_back();
        if (open.request >= 0) {
            std::unique_ptr<Request> &request = m_requests[size_t(open.request)];
            request->ended = true;
            if (request->answered) {
                for (const std::string &text : request->items)
                    m_heldText -= qsizetype(text.size());
                request.reset();
            }
        }
        break;
    }
    case QXmlStreamReader::Characters:
        // Blank text is dropped, as a document would drop it; CDATA is kept as it is.
        if (reader.isCDATA() || !reader.text().trimmed().isEmpty())
            return addText(reader.text().toString());
        break;
    case QXmlStreamReader::ProcessingInstruction:
        markAnswered(reader.processingInstructionTarget().toString());
        break;
    case QXmlStreamReader::EntityReference:
        markAnswered(reader.name().toString());
        break;
    default:
        break;
    }
    return true;
}

bool ReplyParser::addText(const QString &text)
{
    if (m_capturing.empty())
        return true;
    const std::string bytes = utf8(text);
    for (const auto &[request, item] : m_capturing) {
        m_keptText += qsizetype(bytes.size());
        if (m_keptText > MaxText) {
            m_overBounds = true;
            return false;
        }
        m_requests[size_t(request)]->items[size_t(item)] += bytes;
        m_heldText += qsizetype(bytes.size());
    }
    return true;
}

void ReplyParser::markAnswered(const QString &name)
{
    // Any direct child node of that name answers, as the document's lookup by name would.
    if (!m_open.empty() && m_open.back().request >= 0 && isAnswerWithoutUpdate(name))
        m_requests[size_t(m_open.back().request)]->answered = true;
}

QVector<UpdateEntry *> ReplyParser::takeEntries()
{
    QVector<UpdateEntry *> entries;
    for (std::unique_ptr<Request> &request : m_requests) {
        if (!request || !request->ended)
            continue;
        auto &items = request->items;
        for (const std::string &text : items)
            m_heldText -= qsizetype(text.size());
        const bool critical = items[Critical] == ReplySchema::criticalTrue;
        const uint timestamp = QString::fromStdString(items[Timestamp]).toUInt(nullptr, 10);
        // A delta without a base or a link is no offer of one.
        UpdateEntry::Delta delta;
        if (!items[DeltaBase].empty() && !items[DeltaLink].empty())
            delta = { std::move(items[DeltaBase]), std::move(items[DeltaLink]),
                std::move(items[DeltaSignature]), sizeOf(items[DeltaSize]) };
        entries << new UpdateEntry(std::move(request->project), std::move(request->name),
            std::move(request->type), std::move(items[Version]), std::move(items[Description]),
            std::move(items[Copyrights]), std::move(items[Author]), std::move(items[Webpage]),
            std::move(items[Email]), std::move(items[Changelog]), std::move(items[Link]), critical,
            timestamp, std::move(items[Signature]), sizeOf(items[Size]), std::move(delta));
        request.reset();
    }
    return entries;
}
