#include "wireformat.h"

#include <QLatin1String>
#include <QString>

namespace wire {

QByteArray buildReply(const QString &hash, const QString &label, const QString &value, const QString &unit)
{
    // Composed as text and encoded once, so that the bytes are the UTF-8 of
    // the whole reply whatever the fields hold.
    const QLatin1String between(separator, separatorLength);
    QString reply;
    reply.reserve(replyPrefixLength + hash.size() + label.size() + value.size() + unit.size() + 3 * separatorLength
                  + 1);
    reply += QLatin1String(replyPrefix, replyPrefixLength);
    reply += hash;
    reply += between;
    reply += label;
    reply += between;
    reply += value;
    reply += between;
    reply += unit;
    reply += QLatin1Char(terminator);
    return reply.toUtf8();
}

QByteArray buildRequest(const QString &hash)
{
    const QByteArray hashBytes = hash.toUtf8();
    QByteArray request;
    request.reserve(requestPrefixLength + hashBytes.size() + 1);
    request.append(requestPrefix, requestPrefixLength);
    request.append(hashBytes);
    request.append(terminator);
    return request;
}

} // namespace wire
