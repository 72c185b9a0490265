#include "requestparser.h"

#include "wireformat.h"

#include <cstring>

namespace protocol {

namespace {

using wire::requestPrefix;
using wire::requestPrefixLength;
using wire::terminator;
// Decoding drops a byte order mark at the very start of a text, so a client
// that sends one still has its requests read.
constexpr char byteOrderMark[] = "\xEF\xBB\xBF";

bool startsAt(const QByteArray &text, int position, const char *prefix)
{
    const int size = int(std::strlen(prefix));
    return text.size() - position >= size && std::memcmp(text.constData() + position, prefix, size) == 0;
}

// QString::fromUtf8 takes one byte order mark at the start for a header and
// drops it; inside a request it is a character like any other.
QString decoded(const QByteArray &text, int position, int size)
{
    const QString characters = QString::fromUtf8(text.constData() + position, size);
    return startsAt(text, position, byteOrderMark) ? QChar(0xFEFF) + characters : characters;
}

// Text that more bytes could still turn into a request.
bool isUnfinishedRequest(const QByteArray &rest)
{
    if (rest.size() > maximumReadSize)
        return false;
    if (rest.size() < requestPrefixLength)
        return QByteArray::fromRawData(requestPrefix, requestPrefixLength).startsWith(rest);
    return rest.startsWith(requestPrefix) && !rest.contains(terminator);
}

} // namespace

ParsedRead parseRead(const QByteArray &carried, const QByteArray &received)
{
    const int zero = received.indexOf('\0');
    const bool endedByZero = zero >= 0;
    const QByteArray text = carried + (endedByZero ? received.left(zero) : received);
    const bool fresh = carried.isEmpty();

    ParsedRead result;
    int position = fresh && startsAt(text, 0, byteOrderMark) ? int(std::strlen(byteOrderMark)) : 0;
    result.outdated = fresh && startsAt(text, position, wire::outdatedRequestPrefix);

    // Each request needs its own prefix; the first part that lacks one ends the read.
    while (startsAt(text, position, requestPrefix)) {
        const int hashStart = position + requestPrefixLength;
        const int end = text.indexOf(terminator, hashStart);
        if (end < 0)
            break;
        result.hashes.append(decoded(text, hashStart, end - hashStart));
        position = end + 1;
    }

    if (!endedByZero) {
        QByteArray rest = text.mid(position);
        if (isUnfinishedRequest(rest))
            result.tail = std::move(rest);
    }
    return result;
}

} // namespace protocol
