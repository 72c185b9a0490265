#pragma once

// What the hub serves, as pure functions of a snapshot and the time:
// Prometheus' text exposition format, and JSON for the page and for scripts.

#include <QByteArray>
#include <QString>
#include <QVector>

struct HubReading;
struct UpstreamState;

namespace HubRules {
// A reading not answered for this long is left out of /metrics.
constexpr qint64 freshForMs = 10000;
// A Telvane is up while connected and answered within this many ticks.
constexpr int upForTicks = 3;
} // namespace HubRules

// A label value in the exposition format: backslash, double quote and line feed escaped.
[[nodiscard]] QByteArray escapeLabelValue(const QString &text);
// A sample value: "NaN", "+Inf", "-Inf", or the shortest decimal that reads back exactly.
[[nodiscard]] QByteArray metricNumber(double value);
// A JSON string literal, quotes included.
[[nodiscard]] QByteArray jsonString(const QString &text);
// A JSON number, or null when not finite.
[[nodiscard]] QByteArray jsonNumber(double value);

// A reading's hash, label and unit as labels of its telvane_reading series.
[[nodiscard]] QByteArray metricReadingLabels(const HubReading &reading);

[[nodiscard]] bool upstreamUp(const UpstreamState &upstream, qint64 nowMs);
// "up", "stale" (connected, but answers stopped) or "down".
[[nodiscard]] QByteArray upstreamStateName(const UpstreamState &upstream, qint64 nowMs);
[[nodiscard]] bool readingFresh(const HubReading &reading, qint64 nowMs);

[[nodiscard]] QByteArray formatMetrics(const QVector<UpstreamState> &upstreams, qint64 nowMs);
// Per Telvane its state and readings: value, age, min/max/mean of the history.
[[nodiscard]] QByteArray formatReadingsJson(const QVector<UpstreamState> &upstreams, qint64 nowMs);
// Per Telvane and reading the last ten minutes, one value (or null) per second.
[[nodiscard]] QByteArray formatHistoryJson(const QVector<UpstreamState> &upstreams, qint64 nowMs);
