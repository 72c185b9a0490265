#pragma once

// The bytes that Telvane and its clients exchange, in one place for both
// sides. Everything is UTF-8; there is no length prefix, no line end and no
// escaping: a message is found by its prefix and ends at its ";".
//
//   request:          "v2gd::" + hash + ";"
//   outdated request: "get::" (an old client's; only warned about)
//   reply:            "v2sd::" + hash + "::" + label + "::" + value + "::" + unit + ";"
//
// A label or unit that holds "::" or ";" goes out unchanged, so a reader of
// replies has to tell the fields apart by their shape (see the client's reply
// parser); the texts here are only the building blocks.
//
// The texts are plain constants, so a parser compiled on its own (a fuzz
// target) needs this header only.

#include <QByteArray>

class QString;

namespace wire {

inline constexpr char requestPrefix[] = "v2gd::";
inline constexpr char outdatedRequestPrefix[] = "get::";
inline constexpr char replyPrefix[] = "v2sd::";
inline constexpr char separator[] = "::";
inline constexpr char terminator = ';';

// The TCP port Telvane listens on, and where its clients look, unless told otherwise.
inline constexpr quint16 defaultPort = 8881;

// Lengths of the texts above, without their closing zero.
inline constexpr int requestPrefixLength = int(sizeof(requestPrefix)) - 1;
inline constexpr int outdatedRequestPrefixLength = int(sizeof(outdatedRequestPrefix)) - 1;
inline constexpr int replyPrefixLength = int(sizeof(replyPrefix)) - 1;
inline constexpr int separatorLength = int(sizeof(separator)) - 1;

// A reading hash as Telvane makes it: SHA-1 in hexadecimal.
inline constexpr int hashLength = 40;
// What a well-formed reply starts with: its prefix, the hash and a separator.
inline constexpr int replyHeaderLength = replyPrefixLength + hashLength + separatorLength;

// One reply, exactly as it goes on the wire.
[[nodiscard]] QByteArray buildReply(const QString &hash, const QString &label, const QString &value,
                                    const QString &unit);

// One request for the reading with this hash, exactly as it goes on the wire.
[[nodiscard]] QByteArray buildRequest(const QString &hash);

} // namespace wire
