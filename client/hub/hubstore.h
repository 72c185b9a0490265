#pragma once

#include "readinghistory.h"
#include "readingrules.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <memory>
#include <mutex>

struct ParsedReply;
struct ReadingRow;

struct HubReading
{
    QString hash;
    QString label;
    QString unit;
    double value = 0.0;
    qint64 answeredMs = -1; // wall clock; -1 before the first answer
    ReadingHistory history;
    // hash, label, name and unit as /metrics labels, escaped once when they
    // change rather than on every scrape; empty when not made yet.
    QByteArray metricLabels;
    // What the config's rules say of it, settled when it comes or is
    // relabelled and when the rules change, never per request.
    QString name; // empty: the label stands
    bool hidden = false;
    ReadingLimits limits = noLimits();
};

struct UpstreamState
{
    QString instance; // "HOST:PORT"
    bool connected = false;
    qint64 lastAnswerMs = -1;
    qint64 tickMs = 1000;
    QString problem; // the last failure, while not connected
    int refusedReadings = 0;
    QVector<HubReading> readings;
};

// What the hub knows of every Telvane, written by the upstream sessions on
// the event loop and read by the HTTP threads. Readers get a snapshot: the
// lock is held only to copy implicitly shared containers, so a request never
// holds up an upstream session for longer than that.
class HubStore
{
public:
    static constexpr int maximumUpstreams = 32;
    static constexpr int maximumReadings = 16384;

    // The index of the new upstream, or -1 when there are too many.
    int addUpstream(const QString &instance);
    void setConnected(int upstream, bool connected, const QString &problem = QString());
    void setTick(int upstream, qint64 tickMs);
    // Readable replies: new values; readings not seen before are added up to the maximum.
    void takeReplies(int upstream, const QVector<ParsedReply> &replies, qint64 nowMs);
    // The catalogue as the session knows it: its order, and readings gone from it dropped.
    void takeCatalogue(int upstream, const QVector<ReadingRow> &rows, int refused);
    // The config's reading rules: applied at once to every reading kept, and
    // to each one added or relabelled later.
    void setRules(const std::shared_ptr<const ReadingRules> &rules);

    [[nodiscard]] QVector<UpstreamState> snapshot() const;
    // Changes with every write; equal generations mean equal contents.
    [[nodiscard]] quint64 generation() const;

private:
    mutable std::mutex mutex_;
    QVector<UpstreamState> upstreams_;
    QVector<QHash<QString, int>> indexes_; // hash -> position in readings, per upstream
    std::shared_ptr<const ReadingRules> rules_ = std::make_shared<const ReadingRules>();
    quint64 generation_ = 0;
};
