#include "httpsession.h"

#include "hubaccess.h"
#include "hubhttpserver.h"

#include <QDateTime>

#include <boost/asio/post.hpp>

#include <algorithm>

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

// Bounds a request must keep, as the hub has always had them.
constexpr size_t longestTarget = 8192;
constexpr size_t largestHeader = 32 * 1024;
constexpr size_t largestBody = 64 * 1024;
// A kept-alive connection is closed after this many answers (the viewer connects again).
constexpr int answersPerConnection = 100;
// A viewer that does not take its answer within this long is dropped.
constexpr std::chrono::seconds writeDeadline{60};
// A TLS viewer gets this long to answer the closing of its connection.
constexpr std::chrono::seconds closeDeadline{5};

bool isParseError(const beast::error_code &error)
{
    return error.category() == make_error_code(http::error::bad_target).category();
}

} // namespace

template <class Stream>
template <class... Context>
HttpSession<Stream>::HttpSession(boost::asio::ip::tcp::socket socket, HubHttpServer &server, std::string address,
                                 Context &...context)
    : stream_(std::move(socket), context...)
    , buffer_(largestHeader + largestBody)
    , server_(server)
    , address_(std::move(address))
{
}

template <class Stream>
HttpSession<Stream>::~HttpSession()
{
    server_.release(address_);
}

template <class Stream>
void HttpSession<Stream>::start()
{
    // One deadline for the handshake and the whole first request, however slowly they trickle in.
    tcp().expires_after(server_.limits_.requestDeadline);
    if constexpr (tls) {
        stream_.async_handshake(boost::asio::ssl::stream_base::server,
                                [self = this->shared_from_this()](beast::error_code error) {
                                    if (!error)
                                        return self->read();
                                    if (error == beast::error::timeout)
                                        self->server_.limitBit(HubHttpServer::Limit::RequestDeadline, self->address_);
                                    self->close();
                                });
    } else {
        read();
    }
}

template <class Stream>
void HttpSession<Stream>::read()
{
    parser_.emplace();
    parser_->header_limit(largestHeader);
    parser_->body_limit(largestBody);
    // Each later request on a kept-alive connection gets the whole deadline again.
    if (answered_ > 0)
        tcp().expires_after(server_.limits_.requestDeadline);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code error, size_t) { self->onRead(error); });
}

template <class Stream>
void HttpSession<Stream>::onRead(beast::error_code error)
{
    if (!error)
        return handle();
    if (error == beast::error::timeout) {
        // A kept-alive connection that merely went quiet is no one's fault.
        if (answered_ == 0 || buffer_.size() > 0 || parser_->got_some())
            server_.limitBit(HubHttpServer::Limit::RequestDeadline, address_);
        return close();
    }
    if (error == http::error::body_limit) {
        server_.limitBit(HubHttpServer::Limit::BodyTooLarge, address_);
        return refuse(413);
    }
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
        if (!firstLineTooLong())
            return refuse(400);
        server_.limitBit(HubHttpServer::Limit::UriTooLong, address_);
        return refuse(414);
    }
    if (isParseError(error) && error != http::error::end_of_stream && error != http::error::partial_message)
        return refuse(400);
    close();
}

template <class Stream>
void HttpSession<Stream>::handle()
{
    const auto &request = parser_->get();
    ++answered_;
    keepAlive_ = request.keep_alive() && request.version() >= 11 && answered_ < answersPerConnection;
    head_ = request.method() == http::verb::head;
    if (request.target().size() > longestTarget) {
        server_.limitBit(HubHttpServer::Limit::UriTooLong, address_);
        return refuse(414);
    }
    const auto found = request.find(http::field::authorization);
    const std::string_view authorization =
        found == request.end() ? std::string_view() : std::string_view(found->value().data(), found->value().size());
    switch (server_.access_.quick(authorization)) {
    case HubAccess::Verdict::Allowed:
        return route();
    case HubAccess::Verdict::Refused:
        return refuseAccess();
    case HubAccess::Verdict::Unsure:
        break;
    }
    // bcrypt takes its while on a worker; the verdict comes back to this connection's thread.
    server_.checkAway(std::string(authorization), [self = this->shared_from_this()](bool allowed) {
        boost::asio::post(self->stream_.get_executor(), [self, allowed] {
            allowed ? self->route() : self->refuseAccess();
        });
    });
}

template <class Stream>
void HttpSession<Stream>::route()
{
    const auto &request = parser_->get();
    if (request.method() != http::verb::get && !head_)
        return refuse(request.method() == http::verb::unknown ? 400 : 404);
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    HubRoutes::Answer answer = server_.routes_.answer(std::string(request.target()), nowMs);
    if (!answer.pending)
        return send(answer);
    // Rendered on a worker; the answer comes back to this connection's thread.
    server_.renderAway(answer, nowMs, [self = this->shared_from_this()](const HubRoutes::Answer &done) {
        boost::asio::post(self->stream_.get_executor(), [self, done] { self->send(done); });
    });
}

template <class Stream>
void HttpSession<Stream>::refuseAccess()
{
    // A first request without credentials is a browser's usual way to be asked for them.
    if (parser_->get().find(http::field::authorization) != parser_->get().end())
        server_.refusedAccess(address_);
    refuse(401);
}

template <class Stream>
bool HttpSession<Stream>::firstLineTooLong() const
{
    const auto *begin = static_cast<const char *>(buffer_.data().data());
    const auto *end = begin + buffer_.size();
    return std::find(begin, end, '\n') - begin > std::ptrdiff_t(longestTarget);
}

template <class Stream>
void HttpSession<Stream>::refuse(unsigned status)
{
    keepAlive_ = false;
    head_ = false;
    HubRoutes::Answer answer;
    answer.status = status;
    answer.body = std::make_shared<const QByteArray>();
    send(answer);
}

template <class Stream>
void HttpSession<Stream>::send(const HubRoutes::Answer &answer)
{
    response_ = {};
    response_.version(11);
    response_.result(answer.status);
    if (answer.type)
        response_.set(http::field::content_type, answer.type);
    if (answer.noStore)
        response_.set(http::field::cache_control, "no-store");
    if (answer.status == unsigned(http::status::unauthorized))
        response_.set(http::field::www_authenticate, "Basic realm=\"telvane-hub\"");
    response_.keep_alive(keepAlive_);
    if (keepAlive_)
        response_.set(http::field::keep_alive, "timeout=10, max=100");
    body_ = answer.body;
    response_.content_length(static_cast<size_t>(body_->size()));
    // A HEAD answer tells the length without the body; no Range is served,
    // so no answer is ever larger than the route's own body.
    if (!head_)
        response_.body() = {body_->constData(), static_cast<size_t>(body_->size())};
    tcp().expires_after(writeDeadline);
    http::async_write(stream_, response_, [self = this->shared_from_this()](beast::error_code error, size_t) {
        self->onWritten(error);
    });
}

template <class Stream>
void HttpSession<Stream>::onWritten(beast::error_code error)
{
    body_.reset();
    if (error)
        return close();
    if (keepAlive_)
        return read();
    finish();
}

template <class Stream>
void HttpSession<Stream>::finish()
{
    if constexpr (tls) {
        // TLS says goodbye first, so that the viewer can tell the end from a cut.
        tcp().expires_after(closeDeadline);
        stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) { self->close(); });
    } else {
        close();
    }
}

template <class Stream>
void HttpSession<Stream>::close()
{
    beast::error_code ignored;
    tcp().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    tcp().close();
}

template class HttpSession<beast::tcp_stream>;
template class HttpSession<beast::ssl_stream<beast::tcp_stream>>;
template PlainHttpSession::HttpSession(boost::asio::ip::tcp::socket, HubHttpServer &, std::string);
template TlsHttpSession::HttpSession(boost::asio::ip::tcp::socket, HubHttpServer &, std::string,
                                     boost::asio::ssl::context &);
