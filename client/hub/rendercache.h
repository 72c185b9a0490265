#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

// The last rendering of one answer, reused while the store has not changed
// and it is younger than `maximumAgeMs`. Safe to use from many threads.
class RenderCache
{
public:
    using Render = std::function<std::string(qint64 nowMs)>;

    RenderCache(qint64 maximumAgeMs, Render render);

    [[nodiscard]] std::shared_ptr<const std::string> get(quint64 generation, qint64 nowMs);
    // The last rendering if it still serves, without rendering: null otherwise.
    [[nodiscard]] std::shared_ptr<const std::string> fresh(quint64 generation, qint64 nowMs);

private:
    const qint64 maximumAgeMs_;
    const Render render_;
    std::mutex renderMutex_; // one rendering at a time; the others wait for it and share it
    std::mutex mutex_;
    std::shared_ptr<const std::string> body_;
    quint64 generation_ = 0;
    qint64 renderedMs_ = 0;
};
