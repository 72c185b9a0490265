#pragma once

#include "hubaccess.h"
#include "hubroutes.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

class HubStore;
template <class Stream>
class HttpSession;

// The bounds that keep one viewer from shutting the others out.
struct HubHttpLimits
{
    int perAddress = 64; // open connections from one address
    int total = 1024; // open connections in all
    // A request's line and headers (and body) must arrive in full within this
    // long of its connection or of the previous answer on a kept-alive one.
    std::chrono::milliseconds requestDeadline{10000};
    qint64 largestAnswer = qint64(64) * 1024 * 1024;
};

// The hub's HTTP side: /metrics, /api/readings, /api/history and the page,
// over HTTP or HTTPS, open or for listed users only.
// One network thread serves every connection, event-driven, so an idle or
// slow one holds no thread; answers that need rendering are rendered on two
// small worker pools (histories apart, as they can take long) and shared
// between viewers. Handlers only read snapshots of the store, so no request
// holds up an upstream session.
class HubHttpServer
{
public:
    enum class Limit { RequestDeadline, PerAddress, Total, BodyTooLarge, UriTooLong, Count };
    // Addresses whose refused credentials are remembered for the once-a-minute log line.
    static constexpr size_t refusalsRemembered = 4096;
    // Called on the network thread, at most once a minute per limit.
    using Log = std::function<void(const QString &)>;

    HubHttpServer(const HubStore &store, QByteArray page, Log log = {}, HubHttpLimits limits = {});
    ~HubHttpServer();
    HubHttpServer(const HubHttpServer &) = delete;
    HubHttpServer &operator=(const HubHttpServer &) = delete;

    // Serves HTTPS only (TLS 1.2 and 1.3) with this certificate (chain) and
    // key, both PEM files; before listen(). False with a message when they
    // cannot be read or do not belong together.
    [[nodiscard]] bool useTls(const std::string &certificate, const std::string &key, QString *error);
    [[nodiscard]] bool tls() const;
    // Only these users (name -> bcrypt hash) may see any route; none: everyone.
    // At any time, from any thread; a bad hash changes nothing and is named.
    [[nodiscard]] QString setUsers(const std::map<std::string, std::string> &users);

    // Binds (port 0: any free port) and starts serving; false with a message.
    [[nodiscard]] bool listen(const QString &host, quint16 port, QString *error);
    // The port bound, after listen().
    [[nodiscard]] quint16 port() const { return port_; }
    void stop();

private:
    template <class Stream>
    friend class HttpSession;
    struct Net; // Asio's parts, kept out of this header

    struct LimitNote
    {
        std::chrono::steady_clock::time_point logged;
        bool ever = false;
        int heldBack = 0;
    };

    void accept();
    // Renders a pending answer on a worker and hands it to `done` there.
    void renderAway(const HubRoutes::Answer &pending, qint64 nowMs,
                    std::function<void(const HubRoutes::Answer &)> done);
    // Checks credentials with bcrypt on a worker and hands the verdict to `done` there.
    void checkAway(std::string authorization, std::function<void(bool)> done);
    void release(const std::string &address);
    void refusedAccess(const std::string &address);
    [[nodiscard]] QString limitText(Limit limit, const QString &from) const;
    void limitBit(Limit limit, const std::string &address);

    const HubHttpLimits limits_;
    const Log log_;
    HubRoutes routes_;
    std::unordered_map<std::string, int> perAddress_; // open connections, on the network thread only
    int open_ = 0;
    std::array<LimitNote, size_t(Limit::Count)> notes_;
    HubAccess access_;
    std::unordered_map<std::string, LimitNote> refusals_; // per address, on the network thread only
    LimitNote otherRefusals_; // addresses past refusalsRemembered
    std::unique_ptr<Net> net_; // after the counters: its sessions release them when it goes
    std::thread thread_;
    quint16 port_ = 0;
};
