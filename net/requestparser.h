#pragma once

// The client's side of the protocol: what one read of the connection asks for.
//
// Requests are "v2gd::" + hash + ";"; several may follow one another, each
// with its own prefix. The outdated client sends "get::" instead, which only
// counts at the very start of a fresh read.
//
// TCP delivers a stream, not messages, so a request may end up split over two
// reads. What is left after parsing a read is kept when it can still become a
// request (it starts with "v2gd::" but has no ";" yet, or it is a beginning of
// "v2gd::" such as "v2g") and is put in front of the next read of the same
// connection. Everything else that is left is dropped.

#include <QByteArray>
#include <QStringList>

namespace protocol {

// One read never takes more than this; an unfinished request longer than this
// cannot be a request and is not kept either.
inline constexpr int maximumReadSize = 4095;

struct ParsedRead
{
    QStringList hashes;    // in the order requested; may hold empty texts
    bool outdated = false; // the read began with "get::"
    QByteArray tail;       // unfinished request for the next read; at most maximumReadSize bytes
};

// Parses the bytes of one read, with the tail kept from the previous read of
// the same connection in front of them. A read is fresh when nothing is
// carried into it; only then can it be the outdated request. A zero byte ends
// the text of the read: what follows it in the same read is dropped, and so is
// an unfinished request before it, which can no longer be completed.
[[nodiscard]] ParsedRead parseRead(const QByteArray &carried, const QByteArray &received);

} // namespace protocol
