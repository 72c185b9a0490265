#include "replyparser.h"

#include "wireformat.h"

#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace {

const QByteArray replyPrefix(wire::replyPrefix, wire::replyPrefixLength);
const QByteArray separator(wire::separator, wire::separatorLength);
using wire::hashLength;
constexpr int hashStart = wire::replyPrefixLength;
constexpr int hashEnd = hashStart + hashLength;
constexpr int headerLength = wire::replyHeaderLength;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isHeaderAt(const QByteArray &bytes, int at)
{
    if (at + headerLength > bytes.size() || bytes.mid(at, replyPrefix.size()) != replyPrefix)
        return false;
    for (int i = 0; i < hashLength; ++i) {
        if (!isHexDigit(bytes.at(at + hashStart + i)))
            return false;
    }
    return bytes.mid(at + hashEnd, separator.size()) == separator;
}

// The start of a header that the stream cut: prefix and part of the hash.
bool isCutHeader(const QByteArray &bytes)
{
    if (!bytes.startsWith(replyPrefix) || bytes.size() >= headerLength)
        return false;
    for (int i = replyPrefix.size(); i < bytes.size(); ++i) {
        if (i < hashEnd ? !isHexDigit(bytes.at(i)) : bytes.at(i) != separator.at(i - hashEnd))
            return false;
    }
    return true;
}

QString shortText(const QByteArray &bytes)
{
    constexpr int shown = 60;
    QString text = QString::fromUtf8(bytes.left(shown));
    if (bytes.size() > shown)
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

bool parseReplyValue(const QByteArray &text, double *value)
{
    // What Telvane sends for a value that is no finite number: a reading all the same.
    if (text == "nan") {
        *value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (text == "inf" || text == "+inf" || text == "-inf") {
        *value = text.startsWith('-') ? -std::numeric_limits<double>::infinity()
                                      : std::numeric_limits<double>::infinity();
        return true;
    }
    static const QRegularExpression number(
        QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    const QString asText = QString::fromLatin1(text);
    if (!number.match(asText).hasMatch())
        return false;
    bool ok = false;
    const double parsed = asText.toDouble(&ok);
    if (!ok || !std::isfinite(parsed))
        return false;
    *value = parsed;
    return true;
}

int findReplyHeader(const QByteArray &bytes, int from)
{
    for (int at = bytes.indexOf(replyPrefix, from); at >= 0; at = bytes.indexOf(replyPrefix, at + 1)) {
        if (isHeaderAt(bytes, at))
            return at;
    }
    return -1;
}

ParsedReply parseReply(const QByteArray &reply)
{
    if (isCutHeader(reply))
        return problem(QString(), QStringLiteral("cut-off reply: \"%1\"").arg(shortText(reply)));
    if (!isHeaderAt(reply, 0))
        return problem(QString(), QStringLiteral("unexpected data: \"%1\"").arg(shortText(reply)));
    const QString hash = QString::fromLatin1(reply.mid(hashStart, hashLength)).toLower();
    QByteArray body = reply.mid(headerLength);
    if (!body.endsWith(wire::terminator))
        return problem(hash, QStringLiteral("cut-off reply: \"%1\"").arg(shortText(reply)));
    body.chop(1);

    // Rightmost "::" + number + "::" wins; see the header for why.
    for (int labelEnd = body.lastIndexOf(separator); labelEnd >= 0;
         labelEnd = labelEnd > 0 ? body.lastIndexOf(separator, labelEnd - 1) : -1) {
        const int valueStart = labelEnd + separator.size();
        const int valueEnd = body.indexOf(separator.at(0), valueStart);
        if (valueEnd < 0 || body.mid(valueEnd, separator.size()) != separator)
            continue;
        ParsedReply parsed;
        const QByteArray valueText = body.mid(valueStart, valueEnd - valueStart);
        if (!parseReplyValue(valueText, &parsed.value))
            continue;
        parsed.ok = true;
        parsed.hash = hash;
        parsed.label = QString::fromUtf8(body.left(labelEnd));
        parsed.valueText = QString::fromLatin1(valueText);
        parsed.unit = QString::fromUtf8(body.mid(valueEnd + separator.size()));
        return parsed;
    }
    if (body.count(separator) < 2)
        return problem(hash, QStringLiteral("cut-off reply: \"%1\"").arg(shortText(reply)));
    return problem(hash, QStringLiteral("reply without a numeric value: \"%1\"").arg(shortText(reply)));
}

QVector<ParsedReply> ReplyStream::feed(const QByteArray &bytes)
{
    buffer_ += bytes;
    QVector<ParsedReply> replies;
    for (;;) {
        const int start = findReplyHeader(buffer_);
        if (start > 0) {
            replies.append(parseReply(buffer_.left(start)));
            buffer_.remove(0, start);
        }
        if (start < 0) {
            // No header yet: keep the bytes unless they cannot be the start of one.
            if (buffer_.size() > maximumReplyBytes) {
                replies.append(parseReply(buffer_));
                buffer_.clear();
            }
            break;
        }
        const int next = findReplyHeader(buffer_, headerLength);
        if (next < 0) {
            if (buffer_.size() > maximumReplyBytes) {
                replies.append(problem(QString::fromLatin1(buffer_.mid(hashStart, hashLength)),
                                       QStringLiteral("reply longer than %1 bytes").arg(maximumReplyBytes)));
                buffer_.clear();
            }
            break;
        }
        replies.append(parseReply(buffer_.left(next)));
        buffer_.remove(0, next);
    }
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
