#pragma once

#include "clientoptions.h"

#include <QObject>
#include <QVector>

class HubStore;
class TelvaneLink;
struct ParsedReply;

// One Telvane seen by the hub: a watching, always reconnecting session whose
// catalogue and values go into the store, on the event loop.
class UpstreamFeed : public QObject
{
    Q_OBJECT

public:
    UpstreamFeed(HubStore &store, int upstream, const ClientOptions &options, QObject *parent = nullptr);

    void start();

signals:
    // A line for the hub's log (state changes, not every tick).
    void message(const QString &text);

private slots:
    void onConnected();
    void onReplies(const QVector<ParsedReply> &replies);
    void onRoundEnded(bool heldCatalogue);
    void onCatalogueComplete();
    void onFailed(int exitCode, const QString &text);

private:
    void takeCatalogue();

    HubStore &store_;
    const int upstream_;
    TelvaneLink *link_;
    QString lastFailure_;
    int unreadableReplies_ = 0;
    bool limitReported_ = false;
};
