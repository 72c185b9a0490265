#include "hubstore.h"

#include "hubformat.h"
#include "readingformat.h"
#include "replyparser.h"

namespace {

void applyRules(HubReading &reading, const ReadingRules &rules)
{
    const RuleOutcome outcome = rules.apply(reading.hash, reading.label);
    reading.name = outcome.name;
    reading.hidden = outcome.hidden;
    reading.limits = outcome.limits;
    reading.metricLabels = metricReadingLabels(reading);
    reading.metricLabels.squeeze(); // kept for as long as the reading: without room to grow
}

void setNames(HubReading &reading, const QString &label, const QString &unit, const ReadingRules &rules)
{
    if (!reading.metricLabels.isEmpty() && reading.label == label && reading.unit == unit)
        return;
    reading.label = label;
    reading.unit = unit;
    applyRules(reading, rules);
}

} // namespace

int HubStore::addUpstream(const QString &instance)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (upstreams_.size() >= maximumUpstreams)
        return -1;
    UpstreamState state;
    state.instance = instance;
    upstreams_.append(state);
    indexes_.append(QHash<QString, int>());
    ++generation_;
    return upstreams_.size() - 1;
}

void HubStore::setConnected(int upstream, bool connected, const QString &problem)
{
    std::lock_guard<std::mutex> lock(mutex_);
    UpstreamState &state = upstreams_[upstream];
    state.connected = connected;
    state.problem = connected ? QString() : problem;
    ++generation_;
}

void HubStore::setTick(int upstream, qint64 tickMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    upstreams_[upstream].tickMs = tickMs;
    ++generation_;
}

void HubStore::takeReplies(int upstream, const QVector<ParsedReply> &replies, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    UpstreamState &state = upstreams_[upstream];
    QHash<QString, int> &index = indexes_[upstream];
    const qint64 second = nowMs / 1000;
    for (const ParsedReply &reply : replies) {
        if (!reply.ok)
            continue;
        auto found = index.constFind(reply.hash);
        if (found == index.constEnd()) {
            if (state.readings.size() >= maximumReadings)
                continue;
            found = index.insert(reply.hash, state.readings.size());
            state.readings.append(
                HubReading{reply.hash, reply.label, reply.unit, 0.0, -1, {}, {}, {}, false, noLimits()});
        }
        HubReading &reading = state.readings[found.value()];
        setNames(reading, reply.label, reply.unit, *rules_);
        reading.value = reply.value;
        reading.answeredMs = nowMs;
        reading.history.add(second, reply.value);
        state.lastAnswerMs = nowMs;
    }
    ++generation_;
}

void HubStore::takeCatalogue(int upstream, const QVector<ReadingRow> &rows, int refused)
{
    std::lock_guard<std::mutex> lock(mutex_);
    UpstreamState &state = upstreams_[upstream];
    QHash<QString, int> &index = indexes_[upstream];
    QVector<HubReading> ordered;
    QHash<QString, int> orderedIndex;
    ordered.reserve(qMin(rows.size(), int(maximumReadings)));
    for (const ReadingRow &row : rows) {
        if (ordered.size() >= maximumReadings)
            break;
        const auto found = index.constFind(row.hash);
        if (found == index.constEnd())
            continue; // known to the session but never answered here: comes with its next reply
        orderedIndex.insert(row.hash, ordered.size());
        ordered.append(state.readings.at(found.value()));
    }
    state.readings = ordered;
    state.refusedReadings = refused;
    index = orderedIndex;
    ++generation_;
}

void HubStore::setRules(const std::shared_ptr<const ReadingRules> &rules)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_ = rules;
    for (UpstreamState &upstream : upstreams_) {
        for (HubReading &reading : upstream.readings)
            applyRules(reading, *rules_);
    }
    ++generation_;
}

QVector<UpstreamState> HubStore::snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return upstreams_;
}

quint64 HubStore::generation() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}
