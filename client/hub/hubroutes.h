#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <memory>
#include <string>

class HubStore;
class RenderCache;

// What each path answers: the page, /metrics, /api/readings and /api/history
// (all computers, or one with ?instance=HOST:PORT). Rendered answers come from
// render caches, so every viewer shares one body; a body larger than the
// bound is refused instead of served.
class HubRoutes
{
public:
    struct Answer
    {
        unsigned status = 200;
        const char *type = nullptr; // Content-Type, none for an empty body
        bool noStore = false; // Cache-Control: no-store
        std::shared_ptr<const QByteArray> body;
        // Set when the body still has to come from this cache: finish() it
        // away from the network thread, since rendering can take a while.
        RenderCache *pending = nullptr;
        bool slow = false; // a history, which may take much longer than the rest
    };

    HubRoutes(const HubStore &store, QByteArray page, qint64 largestAnswer);
    ~HubRoutes();
    HubRoutes(const HubRoutes &) = delete;
    HubRoutes &operator=(const HubRoutes &) = delete;

    // A GET's answer for its target (path and query), from one thread only.
    [[nodiscard]] Answer answer(const std::string &target, qint64 nowMs);
    // Renders a pending answer's body; from any thread.
    [[nodiscard]] Answer finish(Answer pending, qint64 nowMs) const;

private:
    [[nodiscard]] Answer rendered(RenderCache *cache, bool slow, const char *type, qint64 nowMs);
    [[nodiscard]] RenderCache *historyOf(const QString &instance);

    const HubStore &store_;
    const std::shared_ptr<const QByteArray> page_;
    const qint64 largestAnswer_;
    std::unique_ptr<RenderCache> metrics_;
    std::unique_ptr<RenderCache> readings_;
    std::unique_ptr<RenderCache> history_;
    std::map<QString, std::unique_ptr<RenderCache>> histories_; // per instance, made on first use
};
