#include "hubhttpserver.h"

#include "hubprocess.h"
#include "httpsession.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// After a failed accept (out of file descriptors, say), try again after this long.
constexpr std::chrono::milliseconds acceptPause{100};
constexpr std::chrono::minutes logEvery{1};

} // namespace

struct HubHttpServer::Net
{
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer pause{io};
    asio::thread_pool work{2}; // /metrics, /api/readings
    asio::thread_pool slowWork{2}; // histories
};

HubHttpServer::HubHttpServer(const HubStore &store, QByteArray page, Log log, HubHttpLimits limits)
    : limits_(limits)
    , log_(std::move(log))
    , routes_(store, std::move(page), limits.largestAnswer)
    , net_(std::make_unique<Net>())
{
}

HubHttpServer::~HubHttpServer()
{
    stop();
}

bool HubHttpServer::listen(const QString &host, quint16 port, QString *error)
{
    boost::system::error_code failure;
    tcp::resolver resolver(net_->io);
    const auto found = resolver.resolve(host.toStdString(), std::to_string(port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, failure);
    tcp::acceptor &acceptor = net_->acceptor;
    if (!failure && found.empty())
        failure = asio::error::host_not_found;
    if (!failure)
        acceptor.open(found.begin()->endpoint().protocol(), failure);
    if (!failure)
        acceptor.set_option(tcp::acceptor::reuse_address(reuseListeningAddress()), failure);
    if (!failure)
        acceptor.bind(*found.begin(), failure);
    if (!failure)
        acceptor.listen(asio::socket_base::max_listen_connections, failure);
    if (failure) {
        acceptor.close();
        *error = QStringLiteral("cannot listen on %1 port %2: %3 (is the port taken, or the address not "
                                "this computer's?)")
                     .arg(host)
                     .arg(port)
                     .arg(QString::fromLocal8Bit(failure.message().c_str()));
        return false;
    }
    port_ = acceptor.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { net_->io.run(); });
    return true;
}

void HubHttpServer::stop()
{
    if (!thread_.joinable())
        return;
    net_->io.stop();
    thread_.join();
    // Renders under way finish; what they hand back is dropped with the io context.
    net_->work.join();
    net_->slowWork.join();
}

void HubHttpServer::accept()
{
    net_->acceptor.async_accept([this](boost::system::error_code failure, tcp::socket socket) {
        if (failure) {
            if (failure == asio::error::operation_aborted)
                return;
            net_->pause.expires_after(acceptPause);
            net_->pause.async_wait([this](boost::system::error_code) { accept(); });
            return;
        }
        boost::system::error_code unknown;
        const std::string address = socket.remote_endpoint(unknown).address().to_string();
        if (open_ >= limits_.total) {
            limitBit(Limit::Total, address);
        } else if (perAddress_[address] >= limits_.perAddress) {
            limitBit(Limit::PerAddress, address);
        } else {
            ++open_;
            ++perAddress_[address];
            std::make_shared<HttpSession>(std::move(socket), *this, address)->start();
        }
        accept();
    });
}

void HubHttpServer::renderAway(const HubRoutes::Answer &pending, qint64 nowMs,
                               std::function<void(const HubRoutes::Answer &)> done)
{
    asio::post(pending.slow ? net_->slowWork : net_->work,
               [this, pending, nowMs, done = std::move(done)] { done(routes_.finish(pending, nowMs)); });
}

void HubHttpServer::release(const std::string &address)
{
    --open_;
    const auto found = perAddress_.find(address);
    if (found != perAddress_.end() && --found->second <= 0)
        perAddress_.erase(found);
}

void HubHttpServer::limitBit(Limit limit, const std::string &address)
{
    LimitNote &note = notes_[size_t(limit)];
    const auto now = std::chrono::steady_clock::now();
    if (note.ever && now - note.logged < logEvery) {
        ++note.heldBack;
        return;
    }
    const QString from = QString::fromStdString(address);
    QString text;
    switch (limit) {
    case Limit::RequestDeadline:
        text = QStringLiteral("closed a connection from %1: its request did not arrive within %2 s")
                   .arg(from)
                   .arg(limits_.requestDeadline.count() / 1000.0);
        break;
    case Limit::PerAddress:
        text = QStringLiteral("refused a connection from %1: it has %2 open").arg(from).arg(limits_.perAddress);
        break;
    case Limit::Total:
        text = QStringLiteral("refused a connection from %1: %2 are open").arg(from).arg(limits_.total);
        break;
    case Limit::BodyTooLarge:
        text = QStringLiteral("refused a request from %1: its body is over 64 KiB").arg(from);
        break;
    case Limit::UriTooLong:
        text = QStringLiteral("refused a request from %1: its address is over 8192 bytes").arg(from);
        break;
    case Limit::Count:
        break;
    }
    if (note.heldBack > 0)
        text += QStringLiteral(" (and %1 more since the last such line)").arg(note.heldBack);
    note = {now, true, 0};
    if (log_)
        log_(text);
}
