#pragma once

#include <QByteArray>

#include <functional>
#include <memory>
#include <mutex>

// The last rendering of one answer, reused while the store has not changed
// and it is younger than `maximumAgeMs`. Safe to use from many threads.
class RenderCache
{
public:
    using Render = std::function<QByteArray(qint64 nowMs)>;

    RenderCache(qint64 maximumAgeMs, Render render);

    [[nodiscard]] std::shared_ptr<const QByteArray> get(quint64 generation, qint64 nowMs);
    // The last rendering if it still serves, without rendering: null otherwise.
    [[nodiscard]] std::shared_ptr<const QByteArray> fresh(quint64 generation, qint64 nowMs);

private:
    const qint64 maximumAgeMs_;
    const Render render_;
    std::mutex renderMutex_; // one rendering at a time; the others wait for it and share it
    std::mutex mutex_;
    std::shared_ptr<const QByteArray> body_;
    quint64 generation_ = 0;
    qint64 renderedMs_ = 0;
};
