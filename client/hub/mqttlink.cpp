#include "mqttlink.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

namespace {

constexpr int keepAliveSeconds = 30;
// The hub's status as its Last Will, and as said when it stops on purpose.
constexpr char offline[] = "offline";
constexpr int offlineSize = sizeof offline - 1;
// A CONNACK slower than this counts as a failed attempt.
constexpr int answerWithinMs = 15000;
// Packets taken per readable socket: the broker sends the hub little.
constexpr int packetsPerRead = 64;

void initialiseLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        mosquitto_lib_init();
#ifndef _WIN32
        // OpenSSL writes to a TLS broker that went away with write(): an error
        // to handle, not a signal that ends the hub.
        std::signal(SIGPIPE, SIG_IGN);
#endif
    });
}

QString problemText(int result)
{
    if (result == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(result));
}

// Whether a connection attempt that the socket's readiness says is over has
// failed (refused, unreachable). libmosquitto's TLS handshake can take the
// error itself and carry on writing to the dead socket, so a socket without
// a peer counts as failed too.
int attemptError(int socket)
{
    int error = 0;
#ifdef _WIN32
    int size = sizeof error;
#else
    socklen_t size = sizeof error;
#endif
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) != 0 || error != 0)
        return error != 0 ? error : -1;
    sockaddr_storage peer{};
#ifdef _WIN32
    int peerSize = sizeof peer;
#else
    socklen_t peerSize = sizeof peer;
#endif
    return getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0 ? 0 : -1;
}

} // namespace

MqttLink::MqttLink(const MqttSettings &settings, const QString &willTopic, QObject *parent)
    : QObject(parent)
    , settings_(settings)
    , willTopic_(willTopic)
    , keepAlive_(new QTimer(this))
    , retry_(new QTimer(this))
{
    initialiseLibrary();
    handle_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(handle_, &MqttLink::onConnect);
    mosquitto_disconnect_callback_set(handle_, &MqttLink::onDisconnect);
    mosquitto_message_callback_set(handle_, &MqttLink::onMessage);
    if (!settings_.username.empty())
        mosquitto_username_pw_set(handle_, settings_.username.c_str(),
                                  settings_.password.empty() ? nullptr : settings_.password.c_str());
    const QByteArray will = willTopic_.toUtf8();
    mosquitto_will_set(handle_, will.constData(), offlineSize, offline, 1, true);
    if (settings_.tls) {
        if (settings_.ca.empty())
            mosquitto_int_option(handle_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            mosquitto_tls_set(handle_, settings_.ca.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    keepAlive_->setInterval(1000);
    connect(keepAlive_, &QTimer::timeout, this, &MqttLink::tick);
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, &MqttLink::retryNow);
}

MqttLink::~MqttLink()
{
    // Nothing of libmosquitto's calls back into what is being destroyed.
    mosquitto_connect_callback_set(handle_, nullptr);
    mosquitto_disconnect_callback_set(handle_, nullptr);
    mosquitto_message_callback_set(handle_, nullptr);
    if (connected_) {
        // A stop on purpose: say so, since a clean goodbye sends no Last Will.
        const QByteArray will = willTopic_.toUtf8();
        mosquitto_publish(handle_, nullptr, will.constData(), offlineSize, offline, 1, true);
        mosquitto_loop_write(handle_, 1);
        mosquitto_disconnect(handle_);
        mosquitto_loop_write(handle_, 1);
    }
    delete reader_;
    delete writer_;
    mosquitto_destroy(handle_);
}

void MqttLink::start()
{
    // An address connects at once; a name is looked up without blocking this
    // thread, which also serves the Telvanes.
    if (!QHostAddress(settings_.host).isNull())
        connectTo(settings_.host);
    else
        QHostInfo::lookupHost(settings_.host, this, &MqttLink::lookedUp);
}

void MqttLink::retryNow()
{
    if (socket_ >= 0)
        lose(QStringLiteral("no answer within %1 s").arg(answerWithinMs / 1000));
    else
        start();
}

void MqttLink::lookedUp(const QHostInfo &info)
{
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        lose(QStringLiteral("cannot look up %1: %2").arg(settings_.host, info.errorString()));
        return;
    }
    // TLS checks the broker's certificate against its name.
    connectTo(settings_.tls ? settings_.host : info.addresses().constFirst().toString());
}

void MqttLink::connectTo(const QString &address)
{
    const int result = mosquitto_connect_async(handle_, address.toUtf8().constData(), settings_.port, keepAliveSeconds);
    socket_ = mosquitto_socket(handle_);
    if (result != MOSQ_ERR_SUCCESS || socket_ < 0) {
        lose(problemText(result));
        return;
    }
    reader_ = new QSocketNotifier(socket_, QSocketNotifier::Read, this);
    connect(reader_, &QSocketNotifier::activated, this, &MqttLink::readable);
    writer_ = new QSocketNotifier(socket_, QSocketNotifier::Write, this);
    connect(writer_, &QSocketNotifier::activated, this, &MqttLink::writable);
    watchWrites();
    keepAlive_->start();
    retry_->start(answerWithinMs); // no CONNACK by then: try again
}

void MqttLink::onConnect(mosquitto *, void *self, int code)
{
    // Inside libmosquitto's loop: handled once it has returned, but why it
    // refuses is kept now, as the loop's own result says only "refused".
    auto *link = static_cast<MqttLink *>(self);
    if (code != 0)
        link->refusal_ = QStringLiteral("the broker refuses: %1").arg(QString::fromUtf8(mosquitto_connack_string(code)));
    QMetaObject::invokeMethod(link, [link, code] { link->takeConnack(code); }, Qt::QueuedConnection);
}

void MqttLink::onDisconnect(mosquitto *, void *self, int)
{
    auto *link = static_cast<MqttLink *>(self);
    QMetaObject::invokeMethod(
        link, [link] { link->lose(QStringLiteral("the broker closed the connection")); }, Qt::QueuedConnection);
}

void MqttLink::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *link = static_cast<MqttLink *>(self);
    const QString topic = QString::fromUtf8(message->topic);
    const QByteArray payload(static_cast<const char *>(message->payload), std::max(0, message->payloadlen));
    const bool retained = message->retain;
    QMetaObject::invokeMethod(
        link, [link, topic, payload, retained] { emit link->received(topic, payload, retained); },
        Qt::QueuedConnection);
}

void MqttLink::takeConnack(int code)
{
    if (socket_ < 0)
        return; // lost meanwhile
    if (code != 0) {
        lose(refusal_);
        return;
    }
    retry_->stop();
    refusal_.clear();
    connected_ = true;
    pauseMs_ = firstPauseMs;
    lastProblem_.clear();
    emit message(QStringLiteral("MQTT: connected to %1:%2").arg(settings_.host).arg(settings_.port));
    (void)publish(willTopic_, QByteArrayLiteral("online"), true, 1);
    emit connected();
}

void MqttLink::readable()
{
    if (!connected_ && failedAttempt())
        return;
    afterLoop(mosquitto_loop_read(handle_, packetsPerRead));
}

void MqttLink::writable()
{
    if (!connected_ && failedAttempt())
        return;
    afterLoop(mosquitto_loop_write(handle_, packetsPerRead));
    if (connected_ && drained())
        emit drainedNow();
}

bool MqttLink::failedAttempt()
{
    const int error = attemptError(socket_);
    if (error == 0)
        return false;
    lose(error > 0 ? QString::fromLocal8Bit(std::strerror(error)) : QStringLiteral("cannot connect"));
    return true;
}

void MqttLink::tick()
{
    afterLoop(mosquitto_loop_misc(handle_));
}

void MqttLink::afterLoop(int result)
{
    // libmosquitto closes the socket itself when the connection fails: the
    // notifiers go with it, before its number can be reused.
    if (result == MOSQ_ERR_CONN_REFUSED && !refusal_.isEmpty())
        lose(refusal_);
    else if (result != MOSQ_ERR_SUCCESS || mosquitto_socket(handle_) != socket_)
        lose(result == MOSQ_ERR_SUCCESS ? QStringLiteral("the connection was closed") : problemText(result));
    else
        watchWrites();
}

void MqttLink::lose(const QString &why)
{
    if (retry_->isActive() && socket_ < 0)
        return; // already waiting to try again
    const bool was = connected_;
    connected_ = false;
    delete reader_;
    delete writer_;
    reader_ = writer_ = nullptr;
    socket_ = -1;
    keepAlive_->stop();
    mosquitto_disconnect(handle_);
    if (why != lastProblem_) {
        QString said = why; // libmosquitto's texts end in a full stop
        if (said.endsWith(QLatin1Char('.')))
            said.chop(1);
        emit message(QStringLiteral("MQTT: %1:%2: %3; connecting again, after growing pauses")
                         .arg(settings_.host)
                         .arg(settings_.port)
                         .arg(said));
    }
    lastProblem_ = why;
    retryLater();
    if (was)
        emit disconnected();
}

void MqttLink::retryLater()
{
    retry_->start(pauseMs_);
    pauseMs_ = std::min(2 * pauseMs_, longestPauseMs);
}

void MqttLink::watchWrites()
{
    if (writer_)
        writer_->setEnabled(mosquitto_want_write(handle_));
}

bool MqttLink::drained() const
{
    return !mosquitto_want_write(handle_);
}

bool MqttLink::publish(const QString &topic, const QByteArray &payload, bool retain, int qos)
{
    if (!connected_)
        return false;
    const QByteArray name = topic.toUtf8();
    const int result =
        mosquitto_publish(handle_, nullptr, name.constData(), payload.size(), payload.constData(), qos, retain);
    if (result == MOSQ_ERR_SUCCESS) {
        watchWrites();
        return true;
    }
    // A write that found the connection gone: noticed once this call is over.
    QMetaObject::invokeMethod(this, [this] { afterLoop(MOSQ_ERR_SUCCESS); }, Qt::QueuedConnection);
    return false;
}

void MqttLink::subscribe(const QString &topic)
{
    if (connected_)
        mosquitto_subscribe(handle_, nullptr, topic.toUtf8().constData(), 0);
}
