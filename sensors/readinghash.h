#pragma once

#include <QString>

// The identifier of a reading towards the client: the SHA-1 of the UTF-8 of
// label + ":" + sensor number, as 40 lowercase hex digits. It depends on label
// and sensor only, so it stays the same across rebuilds and restarts.
[[nodiscard]] QString readingHash(const QString &label, qint32 sensorIndex);
