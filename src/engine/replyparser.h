#pragma once

#include <QVector>

#include <memory>
#include <vector>

class QXmlStreamReader;
class UpdateEntry;

/*
 * Turns the update server's reply into the update catalogue as it is read, token by token,
 * without building the document: one entry per available update, in document order. Answers
 * that a component is current or unknown leave no entry.
 *
 * An entry stands for each "request" element (at any depth) that has no direct child named
 * "latest", "noSuchUpdate" or "noSuchComponent". Its project, name and type are the element's
 * attributes; each other item is all the text inside the first direct child element of that
 * name. Text that is only blanks counts as none, CDATA always counts; missing items read as
 * empty text, false and 0.
 */
class ReplyParser
{
public:
    /// More requests than any installation has components.
    static constexpr int MaxRequests = 10000;
    /// The most item text kept, counted over all requests as often as it is kept: as much as
    /// the largest reply the query takes in. Nested requests and entities can otherwise
    /// multiply a little input into any amount of text.
    static constexpr qsizetype MaxText = 16 * 1024 * 1024;

    ReplyParser();
    ~ReplyParser();
    ReplyParser(const ReplyParser &) = delete;
    ReplyParser &operator=(const ReplyParser &) = delete;

    /// Takes in the token reader stands on; false once the reply holds more requests or text
    /// than the bounds allow, after which nothing more is taken in.
    bool read(const QXmlStreamReader &reader);
    /// The text kept so far, in bytes: what the parser holds beyond a fixed cost per request.
    qsizetype heldText() const { return m_heldText; }
    /// The entries of every request that has ended, in the order they started. The caller
    /// owns them; the parser forgets them.
    QVector<UpdateEntry *> takeEntries();

private:
    struct Request;
    struct Open
    {
        int request = -1; // the request this element is, if it is one
        int item = -1; // the item of its parent request this element holds, if any
    };

    bool addText(const QString &text);
    void markAnswered(const QString &name);

    std::vector<std::unique_ptr<Request>> m_requests;
    std::vector<Open> m_open;
    /// The (request, item) pairs whose element is open: text now goes to each of them.
    std::vector<std::pair<int, int>> m_capturing;
    qsizetype m_heldText = 0;
    qsizetype m_keptText = 0;
    bool m_overBounds = false;
};
