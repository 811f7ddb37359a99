#pragma once

#include <QVector>

class QDomDocument;
class UpdateEntry;

/*
 * Turns the update server's reply into the update catalogue: one entry per available update,
 * in document order. Answers that a component is current or unknown leave no entry.
 */
class ReplyParser
{
public:
    /// One newly allocated entry per "request" element (at any depth, in document order)
    /// that has no direct child "latest", "noSuchUpdate" or "noSuchComponent". The caller
    /// owns the entries. Missing items read as empty text, false and 0.
    static QVector<UpdateEntry *> parse(const QDomDocument &document);
};
