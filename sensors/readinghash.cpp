#include "readinghash.h"

#include <QCryptographicHash>

QString readingHash(const QString &label, qint32 sensorIndex)
{
    // The label was decoded as Latin-1 and is hashed as UTF-8, so a byte B0
    // enters as C2 B0.
    const QString keyText = label + QLatin1Char(':') + QString::number(sensorIndex);
    return QString::fromLatin1(QCryptographicHash::hash(keyText.toUtf8(), QCryptographicHash::Sha1).toHex());
}
