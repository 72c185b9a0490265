#pragma once

// Reading single-value files of sysfs and whole files of procfs. Such reads
// fail in the field (EAGAIN, EIO, ENODATA, EINVAL from a driver): every
// failure simply yields nothing, and the caller leaves that one reading out.
// Files are opened without blocking and only regular files are read, so a
// FIFO or a device node where an attribute should be cannot stop us.

#include <QString>
#include <QStringList>

#include <optional>

namespace sysfs {

// A small attribute (up to 4 KiB), trimmed.
[[nodiscard]] std::optional<QString> readText(const QString &path);
// A whole procfs file, however long (up to `limit` bytes; nothing beyond).
// procfs reports size 0 and hands out a page per read, so it is read to its end.
[[nodiscard]] std::optional<QByteArray> readWhole(const QString &path, qint64 limit = 64 << 20);
// An integer file such as "45000\n"; nothing for a failed read or a bogus text.
[[nodiscard]] std::optional<qint64> readInteger(const QString &path);
// Names in `dir` matching `pattern` (wildcards), in natural order (hwmon2 before hwmon10).
[[nodiscard]] QStringList entriesByNumber(const QString &dir, const QString &pattern);
// The number at the end of a name ("hwmon12" gives 12), -1 when there is none.
[[nodiscard]] int trailingNumber(const QString &name);

} // namespace sysfs
