#include "sysfsfiles.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sysfs {

namespace {

// An open regular file, closed when it goes.
class RegularFile
{
public:
    explicit RegularFile(const QString &path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY))
    {
        struct stat status {};
        if (fd_ >= 0 && (fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    RegularFile(const RegularFile &) = delete;
    RegularFile &operator=(const RegularFile &) = delete;
    ~RegularFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Up to `limit` bytes from the start, read until the end of the file.
    [[nodiscard]] std::optional<QByteArray> read(qint64 limit) const
    {
        if (fd_ < 0)
            return std::nullopt;
        QByteArray bytes;
        constexpr qint64 chunk = 64 * 1024;
        while (bytes.size() < limit) {
            const qint64 room = std::min(chunk, limit - bytes.size());
            const int had = bytes.size();
            bytes.resize(had + static_cast<int>(room));
            const ssize_t got = ::read(fd_, bytes.data() + had, static_cast<std::size_t>(room));
            if (got < 0 && errno == EINTR) {
                bytes.resize(had);
                continue;
            }
            if (got < 0)
                return std::nullopt;
            bytes.resize(had + static_cast<int>(got));
            if (got == 0)
                break;
        }
        return bytes;
    }

private:
    int fd_;
};

} // namespace

std::optional<QString> readText(const QString &path)
{
    // Attribute files are small; a bounded read keeps a strange file harmless.
    constexpr qint64 largestAttribute = 4096;
    const std::optional<QByteArray> bytes = RegularFile(path).read(largestAttribute);
    if (!bytes)
        return std::nullopt;
    return QString::fromUtf8(*bytes).trimmed();
}

std::optional<QByteArray> readWhole(const QString &path, qint64 limit)
{
    return RegularFile(path).read(limit);
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
