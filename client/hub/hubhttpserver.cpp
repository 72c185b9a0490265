#include "hubhttpserver.h"

#include "hubformat.h"
#include "hubstore.h"
#include "rendercache.h"

#include <QDateTime>

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// Answers are rendered at most this often per kind, whatever the number of viewers.
constexpr qint64 reuseMs = 1000;
constexpr qint64 reuseHistoryMs = 5000;
// Enough for many viewers and a scraper; each keep-alive connection holds a thread.
constexpr size_t serverThreads = 16;
constexpr size_t keepAliveRequests = 100;
constexpr time_t keepAliveSeconds = 2;
constexpr time_t readTimeoutSeconds = 5;

const char metricsType[] = "text/plain; version=0.0.4; charset=utf-8";
const char jsonType[] = "application/json";

std::string text(const QByteArray &bytes)
{
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

using Formatter = QByteArray (*)(const QVector<UpstreamState> &, qint64);

std::unique_ptr<RenderCache> cacheOf(const HubStore &store, qint64 reuse, Formatter format)
{
    return std::make_unique<RenderCache>(reuse, [&store, format](qint64 nowMs) {
        return text(format(store.snapshot(), nowMs));
    });
}

} // namespace

HubHttpServer::HubHttpServer(const HubStore &store, QByteArray page)
    : store_(store)
    , page_(text(page))
    , server_(std::make_unique<httplib::Server>())
    , metrics_(cacheOf(store, reuseMs, formatMetrics))
    , readings_(cacheOf(store, reuseMs, formatReadingsJson))
    , history_(cacheOf(store, reuseHistoryMs, formatHistoryJson))
{
    server_->new_task_queue = [] { return new httplib::ThreadPool(serverThreads); };
    server_->set_keep_alive_max_count(keepAliveRequests);
    server_->set_keep_alive_timeout(keepAliveSeconds);
    server_->set_read_timeout(readTimeoutSeconds);
    server_->set_write_timeout(readTimeoutSeconds);
    server_->set_payload_max_length(64 * 1024);
    const auto serve = [this](RenderCache *cache, const char *type) {
        return [this, cache, type](const httplib::Request &, httplib::Response &response) {
            const auto body = cache->get(store_.generation(), QDateTime::currentMSecsSinceEpoch());
            response.set_header("Cache-Control", "no-store");
            response.set_content(*body, type);
        };
    };
    server_->Get("/metrics", serve(metrics_.get(), metricsType));
    server_->Get("/api/readings", serve(readings_.get(), jsonType));
    server_->Get("/api/history", serve(history_.get(), jsonType));
    server_->Get("/", [this](const httplib::Request &, httplib::Response &response) {
        response.set_content(page_, "text/html; charset=utf-8");
    });
}

HubHttpServer::~HubHttpServer()
{
    stop();
}

bool HubHttpServer::listen(const QString &host, quint16 port, QString *error)
{
    const std::string address = host.toStdString();
    if (port == 0) {
        const int bound = server_->bind_to_any_port(address);
        port_ = bound > 0 ? static_cast<quint16>(bound) : 0;
    } else if (server_->bind_to_port(address, port)) {
        port_ = port;
    }
    if (port_ == 0) {
        const int why = errno;
        *error = QStringLiteral("cannot listen on %1 port %2: %3 (is the port taken, or the address not "
                                "this computer's?)")
                     .arg(host)
                     .arg(port)
                     .arg(QString::fromLocal8Bit(std::strerror(why)));
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void HubHttpServer::stop()
{
    if (!thread_.joinable())
        return;
    // stop() only reaches a server that runs: give a just-started one its moment.
    for (int i = 0; i < 2000 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
    thread_.join();
}
