#include "hubhttpserver.h"

#include "hubprocess.h"
#include "httpsession.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <openssl/ssl.h>

#include <optional>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// After a failed accept (out of file descriptors, say), try again after this long.
constexpr std::chrono::milliseconds acceptPause{100};
constexpr std::chrono::minutes logEvery{1};

// Whether a limit's line is due (then it counts from now), else one more held back.
template <class Note>
bool due(Note &note, std::chrono::steady_clock::time_point now)
{
    if (note.ever && now - note.logged < logEvery) {
        ++note.heldBack;
        return false;
    }
    return true;
}

} // namespace

struct HubHttpServer::Net
{
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer pause{io};
    asio::thread_pool work{2}; // /metrics, /api/readings
    asio::thread_pool slowWork{2}; // histories
    // bcrypt checks: one thread, so that a guesser keeps at most one core busy.
    asio::thread_pool accessWork{1};
    std::optional<asio::ssl::context> tls;
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

bool HubHttpServer::useTls(const std::string &certificate, const std::string &key, QString *error)
{
    asio::ssl::context &context = net_->tls.emplace(asio::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_compression |
                        asio::ssl::context::single_dh_use);
    // A key that wants a passphrase is refused instead of asked for on the terminal.
    context.set_password_callback([](size_t, asio::ssl::context::password_purpose) { return std::string(); });
    boost::system::error_code failure;
    QString what;
    context.use_certificate_chain_file(certificate, failure);
    if (failure) {
        what = QStringLiteral("cannot use %1 as the TLS certificate (a PEM file)").arg(QString::fromStdString(certificate));
    } else {
        context.use_private_key_file(key, asio::ssl::context::pem, failure);
        if (!failure && SSL_CTX_check_private_key(context.native_handle()) != 1)
            failure = asio::error::invalid_argument;
        if (failure)
            what = QStringLiteral("cannot use %1 as the key of the TLS certificate %2 (a PEM file without a "
                                  "passphrase, of that certificate's key pair)")
                       .arg(QString::fromStdString(key), QString::fromStdString(certificate));
    }
    if (!failure)
        return true;
    net_->tls.reset();
    *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(failure.message().c_str());
    return false;
}

bool HubHttpServer::tls() const
{
    return net_->tls.has_value();
}

QString HubHttpServer::setUsers(const std::map<std::string, std::string> &users)
{
    return QString::fromStdString(access_.setUsers(users));
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
    // Checks still queued (a guesser's, say) are dropped rather than waited for.
    net_->accessWork.stop();
    net_->accessWork.join();
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
            if (net_->tls)
                std::make_shared<TlsHttpSession>(std::move(socket), *this, address, *net_->tls)->start();
            else
                std::make_shared<PlainHttpSession>(std::move(socket), *this, address)->start();
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

void HubHttpServer::checkAway(std::string authorization, std::function<void(bool)> done)
{
    asio::post(net_->accessWork, [this, authorization = std::move(authorization), done = std::move(done)] {
        done(access_.check(authorization));
    });
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
    if (!due(note, now))
        return;
    QString text = limitText(limit, QString::fromStdString(address));
    if (note.heldBack > 0)
        text += QStringLiteral(" (and %1 more since the last such line)").arg(note.heldBack);
    note = {now, true, 0};
    if (log_)
        log_(text);
}

QString HubHttpServer::limitText(Limit limit, const QString &from) const
{
    switch (limit) {
    case Limit::RequestDeadline:
        return QStringLiteral("closed a connection from %1: its request did not arrive within %2 s")
            .arg(from)
            .arg(limits_.requestDeadline.count() / 1000.0);
    case Limit::PerAddress:
        return QStringLiteral("refused a connection from %1: it has %2 open").arg(from).arg(limits_.perAddress);
    case Limit::Total:
        return QStringLiteral("refused a connection from %1: %2 are open").arg(from).arg(limits_.total);
    case Limit::BodyTooLarge:
        return QStringLiteral("refused a request from %1: its body is over 64 KiB").arg(from);
    case Limit::UriTooLong:
        return QStringLiteral("refused a request from %1: its address is over 8192 bytes").arg(from);
    case Limit::Count:
        break;
    }
    return QString();
}

void HubHttpServer::refusedAccess(const std::string &address)
{
    const auto now = std::chrono::steady_clock::now();
    if (refusals_.size() >= refusalsRemembered && !refusals_.count(address)) {
        // Forget the addresses whose minute is over; past the bound, the rest share one line a minute.
        for (auto it = refusals_.begin(); it != refusals_.end();)
            it = now - it->second.logged >= logEvery ? refusals_.erase(it) : std::next(it);
    }
    const bool remembered = refusals_.size() < refusalsRemembered || refusals_.count(address);
    LimitNote &note = remembered ? refusals_[address] : otherRefusals_;
    if (!due(note, now))
        return;
    QString text = QStringLiteral("refused a request from %1: no valid user name and password")
                       .arg(QString::fromStdString(address));
    if (note.heldBack > 0)
        text += QStringLiteral(" (and %1 more from %2 since the last such line)")
                    .arg(note.heldBack)
                    .arg(remembered ? QStringLiteral("it") : QStringLiteral("such addresses"));
    note = {now, true, 0};
    if (log_)
        log_(text);
}
