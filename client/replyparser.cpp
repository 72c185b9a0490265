#include "replyparser.h"

#include "wireformat.h"

#include <QLocale>
#include <QStringView>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace {

using wire::hashLength;
constexpr int prefixLength = wire::replyPrefixLength;
constexpr int separatorLength = wire::separatorLength;
constexpr int hashStart = prefixLength;
constexpr int hashEnd = hashStart + hashLength;
constexpr int headerLength = wire::replyHeaderLength;

// A stretch of the stream, read in place: a reply costs no copy of its bytes.
struct Bytes
{
    const char *data;
    int size;

    [[nodiscard]] Bytes mid(int from, int length) const { return Bytes{data + from, length}; }
    [[nodiscard]] Bytes from(int at) const { return Bytes{data + at, size - at}; }
    [[nodiscard]] bool holdsAt(int at, const char *text, int length) const
    {
        return at >= 0 && at + length <= size && std::memcmp(data + at, text, size_t(length)) == 0;
    }
    [[nodiscard]] bool separatorAt(int at) const
    {
        static_assert(separatorLength == 2, "the separator is two bytes");
        return at >= 0 && at + 2 <= size && data[at] == wire::separator[0] && data[at + 1] == wire::separator[1];
    }
};

Bytes bytesOf(const QByteArray &bytes)
{
    return Bytes{bytes.constData(), bytes.size()};
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHeaderAt(Bytes bytes, int at)
{
    if (at + headerLength > bytes.size || !bytes.holdsAt(at, wire::replyPrefix, prefixLength))
        return false;
    for (int i = 0; i < hashLength; ++i) {
        if (!isHexDigit(bytes.data[at + hashStart + i]))
            return false;
    }
    return bytes.separatorAt(at + hashEnd);
}

int findHeader(Bytes bytes, int from)
{
    for (int at = from; at < bytes.size; ++at) {
        const void *found = std::memchr(bytes.data + at, wire::replyPrefix[0], size_t(bytes.size - at));
        if (!found)
            return -1;
        at = int(static_cast<const char *>(found) - bytes.data);
        if (isHeaderAt(bytes, at))
            return at;
    }
    return -1;
}

// The start of a header that the stream cut: prefix and part of the hash.
bool isCutHeader(Bytes bytes)
{
    if (!bytes.holdsAt(0, wire::replyPrefix, prefixLength) || bytes.size >= headerLength)
        return false;
    for (int i = prefixLength; i < bytes.size; ++i) {
        if (i < hashEnd ? !isHexDigit(bytes.data[i]) : bytes.data[i] != wire::separator[i - hashEnd])
            return false;
    }
    return true;
}

// Where a separator starts at or before `from`, or -1.
int lastSeparator(Bytes bytes, int from)
{
    for (int at = qMin(from, bytes.size - separatorLength); at >= 0; --at) {
        if (bytes.separatorAt(at))
            return at;
    }
    return -1;
}

bool hasTwoSeparators(Bytes bytes)
{
    const int last = lastSeparator(bytes, bytes.size);
    return last > 0 && lastSeparator(bytes, last - 1) >= 0;
}

// Decimal as QString::number writes it: [+-] digits [. digits] [e [+-] digits].
bool isDecimal(Bytes text)
{
    int at = 0;
    if (at < text.size && (text.data[at] == '+' || text.data[at] == '-'))
        ++at;
    const auto digits = [&] {
        const int start = at;
        while (at < text.size && isDigit(text.data[at]))
            ++at;
        return at - start;
    };
    int mantissa = digits();
    if (at < text.size && text.data[at] == '.') {
        ++at;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (at < text.size && (text.data[at] == 'e' || text.data[at] == 'E')) {
        ++at;
        if (at < text.size && (text.data[at] == '+' || text.data[at] == '-'))
            ++at;
        if (digits() == 0)
            return false;
    }
    return at == text.size;
}

bool parseValue(Bytes text, double *value)
{
    // What Telvane sends for a value that is no finite number: a reading all the same.
    const auto is = [text](const char *word) {
        return text.size == int(std::strlen(word)) && text.holdsAt(0, word, text.size);
    };
    if (is("nan")) {
        *value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (is("inf") || is("+inf") || is("-inf")) {
        *value = text.data[0] == '-' ? -std::numeric_limits<double>::infinity()
                                     : std::numeric_limits<double>::infinity();
        return true;
    }
    if (!isDecimal(text))
        return false;
    QVarLengthArray<QChar, 64> wide(text.size);
    for (int i = 0; i < text.size; ++i)
        wide[i] = QLatin1Char(text.data[i]);
    static const QLocale c = QLocale::c();
    bool ok = false;
    const double parsed = c.toDouble(QStringView(wide.constData(), wide.size()), &ok);
    if (!ok || !std::isfinite(parsed))
        return false;
    *value = parsed;
    return true;
}

// Hashes come in lower case from Telvane; others are folded to it.
QString hashText(const char *hex)
{
    QString hash = QString::fromLatin1(hex, hashLength);
    const bool lower = std::none_of(hex, hex + hashLength, [](char c) { return c >= 'A' && c <= 'F'; });
    return lower ? hash : hash.toLower();
}

QString shortText(Bytes bytes)
{
    constexpr int shown = 60;
    QString text = QString::fromUtf8(bytes.data, qMin(bytes.size, shown));
    if (bytes.size > shown)
        text += QStringLiteral("…");
    return text;
}

ParsedReply problem(const QString &hash, const QString &why)
{
    ParsedReply reply;
    reply.hash = hash;
    reply.problem = why;
    return reply;
}

} // namespace

// The texts of each reading's last answer. A watching client gets the same
// hash, label and unit tick after tick: handing out the texts it already
// holds spares an allocation for each, per answer.
struct ReplyStream::TextMemory
{
    // Far more than any monitor publishes; past it the memory starts afresh.
    static constexpr size_t maximumReadings = 65536;

    struct Key
    {
        std::array<char, hashLength> hex;
        bool operator==(const Key &other) const { return hex == other.hex; }
    };
    struct KeyHash
    {
        size_t operator()(const Key &key) const { return qHashBits(key.hex.data(), key.hex.size()); }
    };
    // A text as last decoded. Its bytes are kept only when they hold more
    // than ASCII: ASCII compares with the text itself, so the usual reading
    // keeps no second copy of its texts.
    struct Text
    {
        QByteArray bytes;
        QString text;
    };
    struct Texts
    {
        QString hash;
        Text label;
        Text unit;
    };

    Texts &textsOf(const char *hex)
    {
        Key key;
        std::memcpy(key.hex.data(), hex, hashLength);
        if (byHash.size() >= maximumReadings && byHash.find(key) == byHash.end())
            byHash.clear();
        Texts &texts = byHash[key];
        if (texts.hash.isEmpty())
            texts.hash = hashText(hex);
        return texts;
    }

    static bool isAscii(Bytes bytes)
    {
        return std::all_of(bytes.data, bytes.data + bytes.size, [](char c) { return uchar(c) < 0x80; });
    }

    static bool same(const Text &kept, Bytes now)
    {
        if (!kept.bytes.isNull())
            return kept.bytes.size() == now.size && std::memcmp(kept.bytes.constData(), now.data, size_t(now.size)) == 0;
        return kept.text.size() == now.size && isAscii(now)
            && kept.text == QLatin1String(now.data, now.size);
    }

    static const QString &remembered(Text &kept, Bytes now)
    {
        if (!same(kept, now)) {
            kept.bytes = isAscii(now) ? QByteArray() : QByteArray(now.data, now.size);
            kept.text = QString::fromUtf8(now.data, now.size);
        }
        return kept.text;
    }

    std::unordered_map<Key, Texts, KeyHash> byHash;
};

namespace {

// The reply's texts, from `memory` when the reading said the same last time.
void takeTexts(ParsedReply &parsed, const char *hex, Bytes label, Bytes value, Bytes unit,
               ReplyStream::TextMemory *memory)
{
    // Values change from answer to answer: remembered, their texts would mostly be replaced.
    parsed.valueText = QString::fromLatin1(value.data, value.size);
    if (!memory) {
        parsed.hash = hashText(hex);
        parsed.label = QString::fromUtf8(label.data, label.size);
        parsed.unit = QString::fromUtf8(unit.data, unit.size);
        return;
    }
    ReplyStream::TextMemory::Texts &texts = memory->textsOf(hex);
    parsed.hash = texts.hash;
    parsed.label = ReplyStream::TextMemory::remembered(texts.label, label);
    parsed.unit = ReplyStream::TextMemory::remembered(texts.unit, unit);
}

ParsedReply parse(Bytes reply, ReplyStream::TextMemory *memory = nullptr)
{
    if (isCutHeader(reply))
        return problem(QString(), QStringLiteral("cut-off reply: \"%1\"").arg(shortText(reply)));
    if (!isHeaderAt(reply, 0))
        return problem(QString(), QStringLiteral("unexpected data: \"%1\"").arg(shortText(reply)));
    const char *hex = reply.data + hashStart;
    Bytes body = reply.from(headerLength);
    if (body.size == 0 || body.data[body.size - 1] != wire::terminator)
        return problem(hashText(hex), QStringLiteral("cut-off reply: \"%1\"").arg(shortText(reply)));
    --body.size;

    // Rightmost "::" + number + "::" wins; see the header for why.
    for (int labelEnd = lastSeparator(body, body.size); labelEnd >= 0;
         labelEnd = labelEnd > 0 ? lastSeparator(body, labelEnd - 1) : -1) {
        const int valueStart = labelEnd + separatorLength;
        const void *colon = std::memchr(body.data + valueStart, wire::separator[0], size_t(body.size - valueStart));
        const int valueEnd = colon ? int(static_cast<const char *>(colon) - body.data) : -1;
        if (valueEnd < 0 || !body.separatorAt(valueEnd))
            continue;
        ParsedReply parsed;
        const Bytes valueText = body.mid(valueStart, valueEnd - valueStart);
        if (!parseValue(valueText, &parsed.value))
            continue;
        const int unitStart = valueEnd + separatorLength;
        parsed.ok = true;
        takeTexts(parsed, hex, body.mid(0, labelEnd), valueText, body.from(unitStart), memory);
        return parsed;
    }
    if (!hasTwoSeparators(body))
        return problem(hashText(hex), QStringLiteral("cut-off reply: \"%1\"").arg(shortText(reply)));
    return problem(hashText(hex), QStringLiteral("reply without a numeric value: \"%1\"").arg(shortText(reply)));
}

} // namespace

bool parseReplyValue(const QByteArray &text, double *value)
{
    return parseValue(bytesOf(text), value);
}

int findReplyHeader(const QByteArray &bytes, int from)
{
    return findHeader(bytesOf(bytes), qMax(0, from));
}

ParsedReply parseReply(const QByteArray &reply)
{
    return parse(bytesOf(reply));
}

ReplyStream::ReplyStream() = default;
ReplyStream::~ReplyStream() = default;

void ReplyStream::rememberTexts(bool remember)
{
    if (!remember)
        memory_.reset();
    else if (!memory_)
        memory_ = std::make_unique<TextMemory>();
}

QVector<ParsedReply> ReplyStream::feed(const QByteArray &bytes)
{
    buffer_ += bytes;
    const Bytes all = bytesOf(buffer_);
    QVector<ParsedReply> replies;
    // Replies are read where they lie; the buffer drops them once, at the end,
    // so a burst of a million replies costs a million steps, not a million moves.
    int at = 0;
    bool atHeader = false; // known from the last round of the loop
    for (;;) {
        const int start = atHeader ? at : findHeader(all, at);
        if (start < 0) {
            // No header yet: keep the bytes unless they cannot be the start of one.
            if (all.size - at > maximumReplyBytes) {
                replies.append(parse(all.from(at)));
                at = all.size;
            }
            break;
        }
        if (start > at)
            replies.append(parse(all.mid(at, start - at), memory_.get()));
        at = start;
        const int next = findHeader(all, at + headerLength);
        if (next < 0) {
            if (all.size - at > maximumReplyBytes) {
                replies.append(problem(QString::fromLatin1(all.data + at + hashStart, hashLength),
                                       QStringLiteral("reply longer than %1 bytes").arg(maximumReplyBytes)));
                at = all.size;
            }
            break;
        }
        replies.append(parse(all.mid(at, next - at), memory_.get()));
        at = next;
        atHeader = true;
    }
    buffer_.remove(0, at);
    return replies;
}

QVector<ParsedReply> ReplyStream::takeQuietTail()
{
    if (!buffer_.endsWith(wire::terminator))
        return {};
    const ParsedReply tail = parseReply(buffer_);
    if (!tail.ok)
        return {};
    buffer_.clear();
    return {tail};
}

bool ReplyStream::holdsCutReply() const
{
    return !buffer_.isEmpty() && parseReply(buffer_).problem.startsWith(QLatin1String("cut-off reply"));
}

QVector<ParsedReply> ReplyStream::finish()
{
    if (buffer_.isEmpty())
        return {};
    const ParsedReply tail = parseReply(buffer_);
    buffer_.clear();
    return {tail};
}
