// Fuzz target: one connection's reads through the request parser, each read
// with the tail kept from the one before.
//
// The input is cut into reads: a length byte n starts each read of n bytes,
// and n = 255 is followed by two bytes of a longer length (little-endian), so
// reads beyond the 4095-byte cap occur too.

#include "requestparser.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<QByteArray> cutIntoReads(const std::uint8_t *data, std::size_t size)
{
    std::vector<QByteArray> reads;
    std::size_t position = 0;
    while (position < size) {
        std::size_t length = data[position++];
        if (length == 255 && size - position >= 2) {
            length = data[position] | (std::size_t(data[position + 1]) << 8);
            position += 2;
        }
        length = std::min(length, size - position);
        reads.emplace_back(reinterpret_cast<const char *>(data + position), int(length));
        position += length;
    }
    return reads;
}

// What may be carried into the next read: a beginning of "v2gd::", or a
// request that lacks only its ";".
bool isKeepable(const QByteArray &tail)
{
    const QByteArray prefix("v2gd::");
    if (tail.size() > protocol::maximumReadSize || tail.contains('\0'))
        return false;
    if (tail.size() < prefix.size())
        return prefix.startsWith(tail);
    return tail.startsWith(prefix) && !tail.contains(';');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::vector<QByteArray> reads = cutIntoReads(data, size);

    QByteArray carried;
    QStringList hashesOfReads;
    QByteArray whole;
    for (const QByteArray &received : reads) {
        const protocol::ParsedRead parsed = protocol::parseRead(carried, received);
        require(isKeepable(parsed.tail) || parsed.tail.isEmpty());
        require(!parsed.outdated || carried.isEmpty());
        for (const QString &hash : parsed.hashes)
            require(!hash.contains(QLatin1Char(';')));
        hashesOfReads += parsed.hashes;
        carried = parsed.tail;
        whole += received;
    }

    // Cutting a text into reads never loses a request that the whole text,
    // read at once, honours: those come first, in the same order. (Later reads
    // may honour more, as each starts afresh after dropped text.) This holds
    // while nothing reaches the cap, no zero byte ends a read early, and no
    // byte order mark, which only counts at the start of a read, opens it.
    if (whole.size() <= protocol::maximumReadSize && !whole.contains('\0') && !whole.startsWith('\xEF')) {
        const protocol::ParsedRead atOnce = protocol::parseRead(QByteArray(), whole);
        require(hashesOfReads.mid(0, atOnce.hashes.size()) == atOnce.hashes);
    }
    return 0;
}
