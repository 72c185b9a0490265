#pragma once

#include "huboptions.h"
#include "hubstore.h"

#include <QObject>

#include <memory>

class HubHttpServer;

// The whole hub: the store, one feed per Telvane on this thread's event loop,
// and the HTTP server on a thread of its own.
class TelvaneHub : public QObject
{
    Q_OBJECT

public:
    TelvaneHub(const HubOptions &options, const QByteArray &page, QObject *parent = nullptr);
    ~TelvaneHub() override;

    // Listens, then starts the feeds; false with a message when it cannot listen.
    [[nodiscard]] bool start(QString *error);
    // The HTTP port bound (useful with port 0).
    [[nodiscard]] quint16 port() const;
    [[nodiscard]] const HubStore &store() const { return store_; }
    // The options with their config file read again: its reading rules apply
    // at once; a new listen address or other Telvanes wait for a restart.
    void applyConfig(const HubOptions &reloaded);

signals:
    void message(const QString &text);

private:
    HubOptions options_;
    HubStore store_;
    std::unique_ptr<HubHttpServer> server_;
};
