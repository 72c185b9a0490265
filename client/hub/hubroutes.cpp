#include "hubroutes.h"

#include "hubformat.h"
#include "hubstore.h"
#include "readinghistory.h"
#include "rendercache.h"

#include <QUrl>
#include <QUrlQuery>

namespace {

// Answers are rendered at most this often per kind, whatever the number of viewers.
constexpr qint64 reuseMs = 1000;
constexpr qint64 reuseHistoryMs = 5000;
// The least a reading's history can take: a value and a comma per second.
constexpr qint64 leastHistoryBytes = 2 * ReadingHistory::seconds;

const char metricsType[] = "text/plain; version=0.0.4; charset=utf-8";
const char jsonType[] = "application/json";
const char textType[] = "text/plain; charset=utf-8";

using Formatter = QByteArray (*)(const QVector<UpstreamState> &, qint64);

std::unique_ptr<RenderCache> cacheOf(const HubStore &store, qint64 reuse, Formatter format)
{
    return std::make_unique<RenderCache>(reuse, [&store, format](qint64 nowMs) {
        return format(store.snapshot(), nowMs);
    });
}

std::shared_ptr<const QByteArray> shared(const char *text)
{
    return std::make_shared<const QByteArray>(text);
}

HubRoutes::Answer plain(unsigned status, const QString &message)
{
    HubRoutes::Answer answer;
    answer.status = status;
    answer.type = textType;
    answer.noStore = true;
    answer.body = std::make_shared<const QByteArray>(message.toUtf8() + '\n');
    return answer;
}

// Every computer's history, rendered one computer at a time so that one too
// large for the bound is never rendered whole: an empty string then. The
// pieces are joined into what formatHistoryJson() makes of them all.
QByteArray boundedHistory(const QVector<UpstreamState> &upstreams, qint64 nowMs, qint64 largest)
{
    qint64 least = 0;
    for (const UpstreamState &upstream : upstreams)
        least += upstream.readings.size() * leastHistoryBytes;
    if (least > largest)
        return {};
    const QByteArray list = "\"computers\":[";
    const QByteArray empty = formatHistoryJson({}, nowMs);
    const int head = empty.indexOf(list) + list.size();
    const int tail = empty.size() - head;
    QByteArray out(empty.constData(), head);
    for (int u = 0; u < upstreams.size(); ++u) {
        const QByteArray one = formatHistoryJson({upstreams.at(u)}, nowMs);
        if (u)
            out += ',';
        out.append(one.constData() + head, one.size() - head - tail);
        if (qint64(out.size()) > largest)
            return {};
    }
    out.append(empty.constData() + head, tail);
    return out;
}

} // namespace

HubRoutes::HubRoutes(const HubStore &store, QByteArray page, qint64 largestAnswer)
    : store_(store)
    , page_(std::make_shared<const QByteArray>(std::move(page)))
    , largestAnswer_(largestAnswer)
    , metrics_(cacheOf(store, reuseMs, formatMetrics))
    , readings_(cacheOf(store, reuseMs, formatReadingsJson))
    , history_(std::make_unique<RenderCache>(reuseHistoryMs, [this](qint64 nowMs) {
        return boundedHistory(store_.snapshot(), nowMs, largestAnswer_);
    }))
{
}

HubRoutes::~HubRoutes() = default;

HubRoutes::Answer HubRoutes::answer(const std::string &target, qint64 nowMs)
{
    const QUrl url(QString::fromStdString(target), QUrl::StrictMode);
    const QString path = url.isValid() ? url.path() : QString();
    if (path == QLatin1String("/")) {
        Answer page;
        page.type = "text/html; charset=utf-8";
        page.body = page_;
        return page;
    }
    if (path == QLatin1String("/metrics"))
        return rendered(metrics_.get(), false, metricsType, nowMs);
    if (path == QLatin1String("/api/readings"))
        return rendered(readings_.get(), false, jsonType, nowMs);
    if (path == QLatin1String("/api/history")) {
        const QUrlQuery query(url);
        if (!query.hasQueryItem(QStringLiteral("instance")))
            return rendered(history_.get(), true, jsonType, nowMs);
        const QString instance = query.queryItemValue(QStringLiteral("instance"), QUrl::FullyDecoded);
        if (RenderCache *cache = historyOf(instance))
            return rendered(cache, true, jsonType, nowMs);
        return plain(404, QStringLiteral("no Telvane %1 here").arg(instance));
    }
    Answer none;
    none.status = 404;
    none.body = shared("");
    return none;
}

HubRoutes::Answer HubRoutes::rendered(RenderCache *cache, bool slow, const char *type, qint64 nowMs)
{
    Answer answer;
    answer.type = type;
    answer.noStore = true;
    answer.slow = slow;
    answer.body = cache->fresh(store_.generation(), nowMs);
    if (!answer.body)
        answer.pending = cache;
    return answer.body ? finish(answer, nowMs) : answer;
}

HubRoutes::Answer HubRoutes::finish(Answer pending, qint64 nowMs) const
{
    if (pending.pending) {
        pending.body = pending.pending->get(store_.generation(), nowMs);
        pending.pending = nullptr;
    }
    if (!pending.body->isEmpty())
        return pending;
    return plain(507, QStringLiteral("this history is larger than %1 MiB: ask for one computer's, "
                                     "/api/history?instance=HOST:PORT")
                          .arg(largestAnswer_ / (1024 * 1024)));
}

RenderCache *HubRoutes::historyOf(const QString &instance)
{
    auto found = histories_.find(instance);
    if (found != histories_.end())
        return found->second.get();
    bool known = false;
    for (const UpstreamState &upstream : store_.snapshot())
        known = known || upstream.instance == instance;
    if (!known)
        return nullptr;
    auto cache = std::make_unique<RenderCache>(reuseHistoryMs, [this, instance](qint64 nowMs) {
        for (const UpstreamState &upstream : store_.snapshot()) {
            if (upstream.instance == instance)
                return boundedHistory({upstream}, nowMs, largestAnswer_);
        }
        return QByteArray();
    });
    return histories_.emplace(instance, std::move(cache)).first->second.get();
}
