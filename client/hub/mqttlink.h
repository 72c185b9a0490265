#pragma once

#include "mqttsettings.h"

#include <QObject>

class QHostInfo;
class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

// One connection to an MQTT broker, driven by this thread's event loop (the
// socket watched by notifiers, libmosquitto never blocking): it connects,
// says `online` on `willTopic` with `offline` as its retained Last Will, and
// when the broker goes away connects again after growing pauses. Nothing is
// kept for a broker that is away: publish() refuses until connected.
class MqttLink : public QObject
{
    Q_OBJECT

public:
    static constexpr int firstPauseMs = 1000;
    static constexpr int longestPauseMs = 60000;

    MqttLink(const MqttSettings &settings, const QString &willTopic, QObject *parent = nullptr);
    ~MqttLink() override;

    void start();
    [[nodiscard]] bool isConnected() const { return connected_; }
    // Whether libmosquitto has written out all it was given: publish more
    // only then, so that what waits for the socket stays small.
    [[nodiscard]] bool drained() const;
    // False when not connected or libmosquitto refuses.
    [[nodiscard]] bool publish(const QString &topic, const QByteArray &payload, bool retain, int qos = 0);
    void subscribe(const QString &topic);

signals:
    void connected();
    void disconnected();
    // All that was given is written out: room for more.
    void drainedNow();
    void received(const QString &topic, const QByteArray &payload, bool retained);
    // A line for the hub's log.
    void message(const QString &text);

private:
    static void onConnect(mosquitto *handle, void *self, int code);
    static void onDisconnect(mosquitto *handle, void *self, int code);
    static void onMessage(mosquitto *handle, void *self, const mosquitto_message *message);

    void retryNow();
    void lookedUp(const QHostInfo &info);
    void connectTo(const QString &address);
    void takeConnack(int code);
    void readable();
    void writable();
    void tick();
    // Whether the attempt under way has failed (and is given up).
    [[nodiscard]] bool failedAttempt();
    void afterLoop(int result);
    void lose(const QString &why);
    void retryLater();
    void watchWrites();

    MqttSettings settings_;
    QString willTopic_;
    mosquitto *handle_ = nullptr;
    QSocketNotifier *reader_ = nullptr;
    QSocketNotifier *writer_ = nullptr;
    QTimer *keepAlive_;
    QTimer *retry_;
    int pauseMs_ = firstPauseMs;
    int socket_ = -1;
    bool connected_ = false;
    QString lastProblem_;
    QString refusal_; // why the broker refused the last attempt
};
