#pragma once

#include "hubroutes.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

class HubHttpServer;

// One viewer's connection, over plain TCP or TLS: requests read one at a
// time, each within the server's deadline (the first one's counts from the
// connection, so it covers a TLS handshake too), and answered in the order
// they came, also when pipelined. It holds no thread while waiting; it ends on
// a bad request, a missed deadline or the viewer closing.
template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>>
{
public:
    // The TLS context, for a TLS stream.
    template <class... Context>
    HttpSession(boost::asio::ip::tcp::socket socket, HubHttpServer &server, std::string address,
                Context &...context);
    ~HttpSession();
    HttpSession(const HttpSession &) = delete;
    HttpSession &operator=(const HttpSession &) = delete;

    void start();

private:
    static constexpr bool tls = !std::is_same_v<Stream, boost::beast::tcp_stream>;

    [[nodiscard]] boost::beast::tcp_stream &tcp() { return boost::beast::get_lowest_layer(stream_); }
    void read();
    void onRead(boost::beast::error_code error);
    void handle();
    void route();
    void refuseAccess();
    [[nodiscard]] bool firstLineTooLong() const;
    void refuse(unsigned status);
    void send(const HubRoutes::Answer &answer);
    void onWritten(boost::beast::error_code error);
    void finish();
    void close();

    Stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    boost::beast::http::response<boost::beast::http::span_body<const char>> response_;
    std::shared_ptr<const QByteArray> body_; // what response_ points into, until written
    HubHttpServer &server_;
    const std::string address_;
    int answered_ = 0;
    bool head_ = false;
    bool keepAlive_ = false;
};

using PlainHttpSession = HttpSession<boost::beast::tcp_stream>;
using TlsHttpSession = HttpSession<boost::beast::ssl_stream<boost::beast::tcp_stream>>;
