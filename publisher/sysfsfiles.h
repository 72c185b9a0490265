#pragma once

// Reading single-value files of sysfs and procfs. Such reads fail in the
// field (EAGAIN, EIO, ENODATA, EINVAL from a driver): every failure simply
// yields nothing, and the caller leaves that one reading out.

#include <QString>
#include <QStringList>

#include <optional>

namespace sysfs {

[[nodiscard]] std::optional<QString> readText(const QString &path);
// An integer file such as "45000\n"; nothing for a failed read or a bogus text.
[[nodiscard]] std::optional<qint64> readInteger(const QString &path);
// Names in `dir` matching `pattern` (wildcards), in natural order (hwmon2 before hwmon10).
[[nodiscard]] QStringList entriesByNumber(const QString &dir, const QString &pattern);
// The number at the end of a name ("hwmon12" gives 12), -1 when there is none.
[[nodiscard]] int trailingNumber(const QString &name);

} // namespace sysfs
