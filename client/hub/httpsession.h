#pragma once

#include "hubroutes.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <memory>
#include <optional>
#include <string>

class HubHttpServer;

// One viewer's connection: requests read one at a time, each within the
// server's deadline, and answered in the order they came, also when pipelined.
// It holds no thread while waiting; it ends on a bad request, a missed
// deadline or the viewer closing.
class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
    HttpSession(boost::asio::ip::tcp::socket socket, HubHttpServer &server, std::string address);
    ~HttpSession();
    HttpSession(const HttpSession &) = delete;
    HttpSession &operator=(const HttpSession &) = delete;

    void start();

private:
    void read();
    void onRead(boost::beast::error_code error);
    void handle();
    [[nodiscard]] bool firstLineTooLong() const;
    void refuse(unsigned status);
    void send(const HubRoutes::Answer &answer);
    void onWritten(boost::beast::error_code error);
    void close();

    boost::beast::tcp_stream stream_;
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
