#include "hubformat.h"

#include "hubstore.h"
#include "readingformat.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace {

QByteArray seconds(qint64 ms)
{
    return QByteArray::number(double(ms) / 1000.0, 'f', 3);
}

// History values are kept as float: printed with a float's precision.
QByteArray historyNumber(double value)
{
    return std::isfinite(value) ? QByteArray::number(value, 'g', 7) : QByteArrayLiteral("null");
}

void family(QByteArray &out, const char *name, const char *help)
{
    out += QByteArrayLiteral("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n";
}

QByteArray instanceLabel(const UpstreamState &upstream)
{
    return QByteArrayLiteral("instance=\"") + escapeLabelValue(upstream.instance) + '"';
}

// Backslash, double quote and line feed escaped, as label values need.
void appendEscaped(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

int shownReadings(const UpstreamState &upstream)
{
    int shown = 0;
    for (const HubReading &reading : upstream.readings)
        shown += reading.hidden ? 0 : 1;
    return shown;
}

// telvane_reading_limit, for the readings that have limits; nothing without any.
void appendLimits(QByteArray &out, const QVector<UpstreamState> &upstreams)
{
    bool named = false;
    for (const UpstreamState &upstream : upstreams) {
        for (const HubReading &reading : upstream.readings) {
            for (int kind = 0; kind < limitKinds && !reading.hidden; ++kind) {
                if (std::isnan(reading.limits[kind]))
                    continue;
                if (!named)
                    family(out, "telvane_reading_limit", "A reading's limit from the hub's config, by kind.");
                named = true;
                out += "telvane_reading_limit{" + instanceLabel(upstream) + ',';
                out += reading.metricLabels.isEmpty() ? metricReadingLabels(reading) : reading.metricLabels;
                out += QByteArrayLiteral(",kind=\"") + limitKindName(kind) + "\"} " + metricNumber(reading.limits[kind])
                    + '\n';
            }
        }
    }
}

// The part of a reading in /api/readings that the config's rules decide.
void appendRuled(QByteArray &out, const HubReading &reading, ReadingState state)
{
    out += ",\"name\":" + jsonString(reading.name.isEmpty() ? reading.label : reading.name) + ",\"state\":\""
        + readingStateName(state) + "\",\"limits\":{";
    bool first = true;
    for (int kind = 0; kind < limitKinds; ++kind) {
        if (std::isnan(reading.limits[kind]))
            continue;
        out += (first ? "\"" : ",\"") + QByteArray(limitKindName(kind)) + "\":" + metricNumber(reading.limits[kind]);
        first = false;
    }
    out += '}';
}

// One reading's object in /api/readings, its opening brace already written; its state.
ReadingState appendReadingJson(QByteArray &out, const UpstreamState &upstream, const HubReading &reading,
                               qint64 nowMs)
{
    const ReadingHistory::Summary summary = reading.history.summary(nowMs / 1000);
    const bool answered = reading.answeredMs >= 0;
    out += "\"hash\":" + jsonString(reading.hash) + ",\"label\":" + jsonString(reading.label)
        + ",\"value\":" + (answered ? jsonNumber(reading.value) : QByteArrayLiteral("null"))
        + ",\"text\":" + (answered ? jsonString(displayValue(reading.value)) : QByteArrayLiteral("null"))
        + ",\"unit\":" + jsonString(reading.unit)
        + ",\"age\":" + (answered ? seconds(nowMs - reading.answeredMs) : QByteArrayLiteral("null")) + ",\"stale\":"
        + (answered && nowMs - reading.answeredMs <= HubRules::upForTicks * upstream.tickMs ? "false" : "true")
        + ",\"min\":" + (summary.count ? historyNumber(summary.minimum) : QByteArrayLiteral("null"))
        + ",\"max\":" + (summary.count ? historyNumber(summary.maximum) : QByteArrayLiteral("null"))
        + ",\"mean\":" + (summary.count ? historyNumber(summary.mean) : QByteArrayLiteral("null"));
    // A reading not answered yet has no value to be beyond a limit.
    const ReadingState state = answered ? readingState(reading.value, reading.limits) : ReadingState::Ok;
    appendRuled(out, reading, state);
    out += '}';
    return state;
}

} // namespace

QByteArray escapeLabelValue(const QString &text)
{
    QByteArray escaped;
    appendEscaped(escaped, text);
    return escaped;
}

QByteArray metricReadingLabels(const HubReading &reading)
{
    QByteArray labels = QByteArrayLiteral("hash=\"");
    appendEscaped(labels, reading.hash);
    labels += "\",label=\"";
    appendEscaped(labels, reading.label);
    if (!reading.name.isEmpty()) {
        labels += "\",name=\"";
        appendEscaped(labels, reading.name);
    }
    labels += "\",unit=\"";
    appendEscaped(labels, reading.unit);
    labels += '"';
    return labels;
}

QByteArray metricNumber(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QByteArrayLiteral("+Inf") : QByteArrayLiteral("-Inf");
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

QByteArray jsonString(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += "0123456789abcdef"[byte >> 4];
            out += "0123456789abcdef"[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

QByteArray jsonNumber(double value)
{
    return std::isfinite(value) ? metricNumber(value) : QByteArrayLiteral("null");
}

bool upstreamUp(const UpstreamState &upstream, qint64 nowMs)
{
    return upstream.connected && upstream.lastAnswerMs >= 0
        && nowMs - upstream.lastAnswerMs <= HubRules::upForTicks * upstream.tickMs;
}

QByteArray upstreamStateName(const UpstreamState &upstream, qint64 nowMs)
{
    if (upstreamUp(upstream, nowMs))
        return QByteArrayLiteral("up");
    return upstream.connected ? QByteArrayLiteral("stale") : QByteArrayLiteral("down");
}

bool readingFresh(const HubReading &reading, qint64 nowMs)
{
    return reading.answeredMs >= 0 && nowMs - reading.answeredMs <= HubRules::freshForMs;
}

QByteArray formatMetrics(const QVector<UpstreamState> &upstreams, qint64 nowMs)
{
    QByteArray out;
    family(out, "telvane_up", "1 while the hub is connected to the Telvane and it answered in its last 3 ticks.");
    for (const UpstreamState &upstream : upstreams)
        out += "telvane_up{" + instanceLabel(upstream) + "} " + (upstreamUp(upstream, nowMs) ? "1\n" : "0\n");
    family(out, "telvane_readings", "Readings in the Telvane's catalogue as the hub keeps it.");
    for (const UpstreamState &upstream : upstreams)
        out += "telvane_readings{" + instanceLabel(upstream) + "} " + QByteArray::number(shownReadings(upstream))
            + '\n';
    family(out, "telvane_last_answer_timestamp_seconds", "When the Telvane last answered, in seconds since 1970.");
    for (const UpstreamState &upstream : upstreams) {
        if (upstream.lastAnswerMs >= 0)
            out += "telvane_last_answer_timestamp_seconds{" + instanceLabel(upstream) + "} "
                + seconds(upstream.lastAnswerMs) + '\n';
    }
    family(out, "telvane_reading", "A reading's latest value, left out when not answered for 10 s.");
    int readings = 0;
    for (const UpstreamState &upstream : upstreams)
        readings += upstream.readings.size();
    out.reserve(out.size() + readings * 160); // one growth for the whole rendering, most of the time
    for (const UpstreamState &upstream : upstreams) {
        const QByteArray series = "telvane_reading{" + instanceLabel(upstream) + ',';
        for (const HubReading &reading : upstream.readings) {
            if (reading.hidden || !readingFresh(reading, nowMs))
                continue;
            out += series;
            out += reading.metricLabels.isEmpty() ? metricReadingLabels(reading) : reading.metricLabels;
            out += "} ";
            out += metricNumber(reading.value);
            out += '\n';
        }
    }
    appendLimits(out, upstreams);
    return out;
}

QByteArray formatReadingsJson(const QVector<UpstreamState> &upstreams, qint64 nowMs)
{
    QByteArray out = "{\"time\":" + seconds(nowMs) + ",\"computers\":[";
    for (int u = 0; u < upstreams.size(); ++u) {
        const UpstreamState &upstream = upstreams.at(u);
        out += (u ? ",{" : "{");
        out += "\"instance\":" + jsonString(upstream.instance) + ",\"state\":\""
            + upstreamStateName(upstream, nowMs) + "\",\"connected\":" + (upstream.connected ? "true" : "false")
            + ",\"last_answer_age\":"
            + (upstream.lastAnswerMs >= 0 ? seconds(nowMs - upstream.lastAnswerMs) : QByteArrayLiteral("null"))
            + ",\"tick_seconds\":" + seconds(upstream.tickMs) + ",\"problem\":" + jsonString(upstream.problem)
            + ",\"readings_left_out\":" + QByteArray::number(upstream.refusedReadings) + ",\"readings\":[";
        ReadingState worst = ReadingState::Ok;
        bool first = true;
        for (const HubReading &reading : upstream.readings) {
            if (reading.hidden)
                continue;
            out += (first ? "{" : ",{");
            first = false;
            worst = std::max(worst, appendReadingJson(out, upstream, reading, nowMs));
        }
        out += "],\"readings_state\":\"" + QByteArray(readingStateName(worst)) + "\"}";
    }
    out += "]}\n";
    return out;
}

QByteArray formatHistoryJson(const QVector<UpstreamState> &upstreams, qint64 nowMs)
{
    const qint64 nowSecond = nowMs / 1000;
    QByteArray out = "{\"time\":" + seconds(nowMs) + ",\"step_seconds\":1,\"computers\":[";
    for (int u = 0; u < upstreams.size(); ++u) {
        const UpstreamState &upstream = upstreams.at(u);
        out += (u ? ",{" : "{");
        out += "\"instance\":" + jsonString(upstream.instance) + ",\"readings\":{";
        bool first = true;
        for (const HubReading &reading : upstream.readings) {
            if (reading.hidden)
                continue;
            out += (first ? "" : ",") + jsonString(reading.hash) + ":[";
            first = false;
            const QVector<float> window = reading.history.window(nowSecond);
            for (int i = 0; i < window.size(); ++i) {
                if (i)
                    out += ',';
                out += historyNumber(window.at(i));
            }
            out += ']';
        }
        out += "}}";
    }
    out += "]}\n";
    return out;
}
