#include "rendercache.h"

RenderCache::RenderCache(qint64 maximumAgeMs, Render render)
    : maximumAgeMs_(maximumAgeMs)
    , render_(std::move(render))
{
}

std::shared_ptr<const QByteArray> RenderCache::fresh(quint64 generation, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const qint64 age = nowMs - renderedMs_;
    if (body_ && generation == generation_ && age >= 0 && age < maximumAgeMs_)
        return body_;
    // Newer data, but a rendering of the same moment serves as well.
    if (body_ && age >= 0 && age < maximumAgeMs_ / 4)
        return body_;
    return nullptr;
}

std::shared_ptr<const QByteArray> RenderCache::get(quint64 generation, qint64 nowMs)
{
    if (auto body = fresh(generation, nowMs))
        return body;
    std::lock_guard<std::mutex> rendering(renderMutex_);
    if (auto body = fresh(generation, nowMs))
        return body;
    // Served no more: let it go before the new one is made rather than after,
    // so that only one rendering is held when nobody is still sending the old.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        body_.reset();
    }
    QByteArray rendered = render_(nowMs);
    rendered.squeeze(); // kept a while: without the room reserved for growing
    auto body = std::make_shared<const QByteArray>(std::move(rendered));
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = body;
    generation_ = generation;
    renderedMs_ = nowMs;
    return body;
}
