#pragma once

#include <QByteArray>

/*
 * What the signature of an update package vouches for: the component (project, name, type),
 * its version and the package's file name. The publisher signs it as the trusted comment
 * "orvi-package project=P name=N type=T version=V file=F", each value percent-encoded, so a
 * valid signature of another component, version or file cannot pass for this one. A delta
 * package, which turns one installed version (its base) into the new one, is signed as
 * "orvi-delta project=P name=N type=T version=V base=B file=F", so that neither kind passes
 * for the other. Values are bytes (UTF-8, as the update entries hold them).
 */
class TrustedComment
{
public:
    QByteArray project;
    QByteArray name;
    QByteArray type;
    QByteArray version;
    QByteArray file;
    /// The version a delta package applies to; empty for a whole package.
    QByteArray base = QByteArray();

    /// The comment text: the fields in their order, single spaces, nothing else.
    QByteArray toText() const;

    /// Reads a comment text into its fields (decoded). False when it does not have the fields
    /// of either kind in their order; a text that is read may still differ from toText() of its
    /// fields (an encoding other than the canonical one).
    static bool fromText(const QByteArray &text, TrustedComment *comment);

    /// Every byte other than ASCII letters, digits and "-._~" as %XX with upper-case digits.
    static QByteArray percentEncoded(const QByteArray &value);

    bool operator==(const TrustedComment &other) const;
};
