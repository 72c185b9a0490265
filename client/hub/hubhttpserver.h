#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <thread>

class HubStore;
class RenderCache;
namespace httplib {
class Server;
}

// The hub's HTTP side: /metrics, /api/readings, /api/history and the page,
// served by cpp-httplib's own threads. Handlers only read snapshots of the
// store, so no request can hold up an upstream session; a rendered answer is
// reused for a short while, so many viewers cost little more than one.
class HubHttpServer
{
public:
    HubHttpServer(const HubStore &store, QByteArray page);
    ~HubHttpServer();
    HubHttpServer(const HubHttpServer &) = delete;
    HubHttpServer &operator=(const HubHttpServer &) = delete;

    // Binds (port 0: any free port) and starts serving; false with a message.
    [[nodiscard]] bool listen(const QString &host, quint16 port, QString *error);
    // The port bound, after listen().
    [[nodiscard]] quint16 port() const { return port_; }
    void stop();

private:
    const HubStore &store_;
    std::string page_;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<RenderCache> metrics_;
    std::unique_ptr<RenderCache> readings_;
    std::unique_ptr<RenderCache> history_;
    std::thread thread_;
    quint16 port_ = 0;
};
