#pragma once

#include "componentkey.h"
#include "inventoryparser.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class AnswerSigner;
class CatalogueCache;

/*
 * Writes the update reply: one XML document, root "updates", with one "request" element per
 * inventory component (attributes project, name, type) holding "latest" when the catalogue
 * has nothing newer, "noSuchComponent" when it does not know the component, or the update's
 * version, description, copyrights, author, webpage, email, changelog, link, critical,
 * timestamp, "size" with the package file's size when the catalogue folder holds it, and,
 * when it holds "<package>.minisig", "signature" with that file's text; then, when the catalogue
 * keeps a delta from the version the inventory reports (equal by the version order),
 * "deltaBase", "deltaLink", "deltaSize" and "deltaSignature" (from the delta's own files, read
 * with the index), which updaters that do not know them pass over. Each update's elements
 * are written once per catalogue read and then copied into every reply that offers it. An
 * unknown component with a project, name or type longer than MaximumEchoedText bytes gets no
 * element: the updater passes over unknown components, and echoing them would let a request
 * make a reply several times its size. With a signer, the reply opens with the server's key and
 * its delegation and closes with the signature over its binding to the request and the reply;
 * once the delegation has expired, there is no reply at all.
 */
class UpdateReplyBuilder
{
public:
    static constexpr qsizetype MaximumEchoedText = ComponentKey::MaximumEchoedText;

    struct Summary
    {
        int available = 0;
        int latest = 0;
        int unknown = 0;
        /// Of the unknown: those left out of the reply for a text over MaximumEchoedText.
        int notEchoed = 0;
        /// Signature files left out of the reply: too large, not UTF-8 or not XML text.
        QStringList unusableSignatures;
        /// Offers that came with a delta.
        int deltas = 0;
    };

    /// Answers from catalogue; links are baseUrl followed by "/" and the package file.
    UpdateReplyBuilder(CatalogueCache *catalogue, QString baseUrl);

    /// Signs every reply with signer from now on; none leaves replies unsigned.
    void setSigner(const AnswerSigner *signer) { m_signer = signer; }

    /// Why no answer may be given at the time now: the signer's delegation has expired (an
    /// unsigned answer would be refused by every updater that asked); empty when answers may.
    QString refusal(const QDateTime &now) const;
    /// The reply for components from the catalogue as it stands on disk now (see
    /// CatalogueCache::refresh), signed over binding (AnswerBinding); false with errorText when
    /// there is no catalogue to answer from.
    bool build(const QList<InventoryParser::Component> &components, const QByteArray &binding,
        QByteArray *reply, Summary *summary, QString *errorText);

private:
    struct Offer
    {
        qsizetype entry;
        // The request's opening tag: the component's attributes are the entry's own.
        QByteArray opening;
        QByteArray elements;
        quint64 signatureRevision = 0;
        QByteArray signatureElement;
        /// Per delta kept: its base version and its elements.
        QList<QPair<QString, QByteArray>> deltas;
    };

    void prepareOffers();

    CatalogueCache *m_catalogue;
    QString m_baseUrl;
    const AnswerSigner *m_signer = nullptr;
    int m_preparedGeneration = -1;
    QHash<ComponentKey, Offer> m_offers;
};
