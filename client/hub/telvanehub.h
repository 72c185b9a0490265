#pragma once

#include "huboptions.h"
#include "hubstore.h"

#include <QObject>

#include <map>
#include <memory>
#include <string>

class HubHttpServer;
class MqttPublisher;

// The whole hub: the store, one feed per Telvane on this thread's event loop,
// and the HTTP server on a thread of its own.
class TelvaneHub : public QObject
{
    Q_OBJECT

public:
    TelvaneHub(const HubOptions &options, const QByteArray &page, QObject *parent = nullptr);
    ~TelvaneHub() override;

    // HTTPS only, with this certificate and key (PEM files); before start().
    // False with a message when they cannot be read or do not belong together.
    [[nodiscard]] bool useTls(const std::string &certificate, const std::string &key, QString *error);
    // Only these users (name -> bcrypt hash) may see the hub; none: everyone.
    // At any time; an error naming the user with a bad hash, and nothing changed.
    [[nodiscard]] QString setUsers(const std::map<std::string, std::string> &users);
    // The config file's users and TLS pair put to use; before start(). False
    // with a message naming the file when the pair is unusable.
    [[nodiscard]] bool useConfigAccess(QString *error);
    // Listens, then starts the feeds; false with a message when it cannot listen.
    [[nodiscard]] bool start(QString *error);
    // The HTTP port bound (useful with port 0).
    [[nodiscard]] quint16 port() const;
    [[nodiscard]] const HubStore &store() const { return store_; }
    // The options with their config file read again: its reading rules and
    // users apply at once; a new listen address, TLS pair or other Telvanes
    // wait for a restart.
    void applyConfig(const HubOptions &reloaded);

signals:
    void message(const QString &text);

private:
    // The publisher for the settings in use (none without them), started anew.
    void startMqtt();

    HubOptions options_;
    HubStore store_;
    std::unique_ptr<HubHttpServer> server_;
    MqttPublisher *mqtt_ = nullptr; // a child; none without MQTT settings
};
