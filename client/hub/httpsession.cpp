#include "httpsession.h"

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

bool isParseError(const beast::error_code &error)
{
    return error.category() == make_error_code(http::error::bad_target).category();
}

} // namespace

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, HubHttpServer &server, std::string address)
    : stream_(std::move(socket))
    , buffer_(largestHeader + largestBody)
    , server_(server)
    , address_(std::move(address))
{
}

HttpSession::~HttpSession()
{
    server_.release(address_);
}

void HttpSession::start()
{
    read();
}

void HttpSession::read()
{
    parser_.emplace();
    parser_->header_limit(largestHeader);
    parser_->body_limit(largestBody);
    // One deadline for the whole request, however slowly it trickles in.
    stream_.expires_after(server_.limits_.requestDeadline);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, size_t) { self->onRead(error); });
}

void HttpSession::onRead(beast::error_code error)
{
    if (!error)
        return handle();
    if (error == beast::error::timeout) {
        // A kept-alive connection that merely went quiet is no one's fault.
        if (answered_ == 0 || buffer_.size() > 0 || parser_->got_some())
            server_.limitBit(HubHttpServer::Limit::RequestDeadline, address_);
        return;
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

void HttpSession::handle()
{
    const auto &request = parser_->get();
    ++answered_;
    keepAlive_ = request.keep_alive() && request.version() >= 11 && answered_ < answersPerConnection;
    head_ = request.method() == http::verb::head;
    if (request.target().size() > longestTarget) {
        server_.limitBit(HubHttpServer::Limit::UriTooLong, address_);
        return refuse(414);
    }
    if (request.method() != http::verb::get && !head_)
        return refuse(request.method() == http::verb::unknown ? 400 : 404);
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    HubRoutes::Answer answer = server_.routes_.answer(std::string(request.target()), nowMs);
    if (!answer.pending)
        return send(answer);
    // Rendered on a worker; the answer comes back to this connection's thread.
    server_.renderAway(answer, nowMs, [self = shared_from_this()](const HubRoutes::Answer &done) {
        auto executor = self->stream_.get_executor();
        boost::asio::post(executor, [self, done] { self->send(done); });
    });
}

bool HttpSession::firstLineTooLong() const
{
    const auto *begin = static_cast<const char *>(buffer_.data().data());
    const auto *end = begin + buffer_.size();
    return std::find(begin, end, '\n') - begin > std::ptrdiff_t(longestTarget);
}

void HttpSession::refuse(unsigned status)
{
    keepAlive_ = false;
    head_ = false;
    HubRoutes::Answer answer;
    answer.status = status;
    answer.body = std::make_shared<const QByteArray>();
    send(answer);
}

void HttpSession::send(const HubRoutes::Answer &answer)
{
    response_ = {};
    response_.version(11);
    response_.result(answer.status);
    if (answer.type)
        response_.set(http::field::content_type, answer.type);
    if (answer.noStore)
        response_.set(http::field::cache_control, "no-store");
    response_.keep_alive(keepAlive_);
    if (keepAlive_)
        response_.set(http::field::keep_alive, "timeout=10, max=100");
    body_ = answer.body;
    response_.content_length(static_cast<size_t>(body_->size()));
    // A HEAD answer tells the length without the body; no Range is served,
    // so no answer is ever larger than the route's own body.
    if (!head_)
        response_.body() = {body_->constData(), static_cast<size_t>(body_->size())};
    stream_.expires_after(writeDeadline);
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code error, size_t) { self->onWritten(error); });
}

void HttpSession::onWritten(beast::error_code error)
{
    body_.reset();
    if (!error && keepAlive_)
        return read();
    close();
}

void HttpSession::close()
{
    beast::error_code ignored;
    stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    stream_.close();
}
