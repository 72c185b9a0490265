#include "sysfsfiles.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace sysfs {

std::optional<QString> readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Attribute files are small; a bounded read keeps a strange file harmless.
    constexpr qint64 largestAttribute = 4096;
    QByteArray bytes(largestAttribute, '\0');
    const qint64 got = file.read(bytes.data(), largestAttribute);
    if (got < 0)
        return std::nullopt;
    bytes.truncate(static_cast<int>(got));
    return QString::fromUtf8(bytes).trimmed();
}

std::optional<qint64> readInteger(const QString &path)
{
    const std::optional<QString> text = readText(path);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qint64 value = text->toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

int trailingNumber(const QString &name)
{
    int start = name.size();
    while (start > 0 && name.at(start - 1).isDigit())
        --start;
    if (start == name.size())
        return -1;
    bool ok = false;
    const int number = name.midRef(start).toInt(&ok);
    return ok ? number : -1;
}

QStringList entriesByNumber(const QString &dir, const QString &pattern)
{
    QStringList names = QDir(dir).entryList(QStringList{pattern},
                                            QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int left = trailingNumber(a);
        const int right = trailingNumber(b);
        return left != right ? left < right : a < b;
    });
    return names;
}

} // namespace sysfs
