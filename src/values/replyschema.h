#pragma once

/*
 * The names of the update server's reply, which the updater reads and the update server
 * writes, exact and case-sensitive:
 *
 *   <updates>
 *     <serverKey key="RWQ...">the delegation: a minisign signature of the key line</serverKey>
 *     <request project="orvi" name="core" type="app">
 *       <latest/>  or  <noSuchUpdate/>  or  <noSuchComponent/>  or the update's items:
 *       <version/> <description/> <copyrights/> <author/> <webpage/> <email/> <changelog/>
 *       <link/> <critical>true</critical> <timestamp/> <signature/> <size/>
 *       and, for an installed base version the publisher keeps a delta from:
 *       <deltaBase/> <deltaLink/> <deltaSize/> <deltaSignature/>
 *     </request>
 *     <answerSignature>base64 of the server's Ed25519ph signature</answerSignature>
 *   </updates>
 *
 * The signature covers answerSignedPrefix, the BLAKE2b hash of the request's bytes, a line feed
 * and every byte of the reply before the "<" of "<answerSignature", which is the root's last
 * child element. The updater asks for that form with an answerForm element at the start of its
 * request's inventory; updaters before it sent none and get answers signed over
 * nonceAnswerSignedPrefix and their request's nonce alone, which the updater never takes.
 * The updater ignores the root's name. The publisher's catalogue index names its items alike.
 */
namespace ReplySchema {

/// The root element the update server writes.
constexpr char updates[] = "updates";
/// One answer about one component, named by the three attributes.
constexpr char request[] = "request";
constexpr char project[] = "project";
constexpr char name[] = "name";
constexpr char type[] = "type";

/// Answers without an update: the component is current, has no update, is unknown.
constexpr char latest[] = "latest";
constexpr char noSuchUpdate[] = "noSuchUpdate";
constexpr char noSuchComponent[] = "noSuchComponent";

/// The items of an available update.
constexpr char version[] = "version";
constexpr char description[] = "description";
constexpr char copyrights[] = "copyrights";
constexpr char author[] = "author";
constexpr char webpage[] = "webpage";
constexpr char email[] = "email";
constexpr char changelog[] = "changelog";
constexpr char link[] = "link";
constexpr char critical[] = "critical";
constexpr char timestamp[] = "timestamp";
constexpr char signature[] = "signature";
/// The package's size in bytes, a decimal number; replies may leave it out.
constexpr char size[] = "size";
/// A delta package from the installed version: that version, its link, size and signature.
/// Updaters that do not know them take the whole package.
constexpr char deltaBase[] = "deltaBase";
constexpr char deltaLink[] = "deltaLink";
constexpr char deltaSize[] = "deltaSize";
constexpr char deltaSignature[] = "deltaSignature";

/// The server's public key (attribute "key": the base64 line of its .pub file) and, as the
/// element's text, the statement by which a package key delegates answering to it.
constexpr char serverKey[] = "serverKey";
constexpr char serverKeyLine[] = "key";
/// The server's signature of the answer, the root's last child element.
constexpr char answerSignature[] = "answerSignature";
/// What the answer's signature is over, before the hash of the request it answers (64
/// lower-case hexadecimal digits of BLAKE2b-256): it is never a package's message, nor an
/// answer of the older form.
constexpr char answerSignedPrefix[] = "orvi-update-answer-2 request=";
/// The older form, before the request's nonce, for updaters that do not ask for the above.
constexpr char nonceAnswerSignedPrefix[] = "orvi-update-answer nonce=";

/// The request's element that asks for answers signed over the request
/// (<answerForm name="orvi-update-answer-2"/>); servers that do not know it pass over it.
constexpr char answerForm[] = "answerForm";
constexpr char answerFormName[] = "name";
constexpr char requestBoundForm[] = "orvi-update-answer-2";

/// The one text of "critical" that marks an update critical.
constexpr char criticalTrue[] = "true";

} // namespace ReplySchema
