#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/*
 * Reads an update request: "<s nonce="N">" (N 64 hexadecimal digits the updater chose; "<s>"
 * from updaters before signed answers), the component inventory the main application printed,
 * "</s>". The inventory holds one element per installed component:
 *   <component project="P" name="N" type="T" version="V"/>
 * and, from updaters that want answers signed over their whole request, first of all
 *   <answerForm name="orvi-update-answer-2"/>
 */
class InventoryParser
{
public:
    struct Component
    {
        QString project;
        QString name;
        QString type;
        QString version;
    };

    /// True once received holds the closing marker after the opening one, i.e. the whole
    /// request has arrived. searched and openMarker (start with 0 and -1) carry what earlier
    /// calls on the same growing request found, so that no byte is searched twice.
    static bool isComplete(const QByteArray &received, qsizetype *searched, qsizetype *openMarker);
    /// The digits of a nonce.
    static constexpr qsizetype NonceSize = 64;

    /// The components of request, in inventory order, its nonce (empty for "<s>") and whether
    /// it asks for answers signed over it (ReplySchema::answerForm); false with errorText when
    /// the request has no markers, its nonce is not 64 hexadecimal digits or the inventory is
    /// not well-formed.
    static bool parse(const QByteArray &request, QList<Component> *components, QByteArray *nonce,
        bool *requestBound, QString *errorText);
    /// The request proper in received, as the updater sent it: from its opening marker to the
    /// end of its last closing marker. Whatever a proxy put before it is not part of it.
    static QByteArrayView requestBytes(const QByteArray &received);
};
