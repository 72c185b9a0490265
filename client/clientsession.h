#pragma once

#include "clientoptions.h"
#include "readingformat.h"

#include <QObject>

class QTimer;
class TelvaneLink;
struct ParsedReply;

// One run of telvane-client: connects, reads the catalogue and either prints
// it or keeps watching. Emits finished() with the exit code.
class ClientSession : public QObject
{
    Q_OBJECT

public:
    ClientSession(const ClientOptions &options, bool outputIsTerminal, QObject *parent = nullptr);

    void start();

signals:
    void finished(int exitCode);

private slots:
    void onConnected();
    void onReplies(const QVector<ParsedReply> &replies);
    void onCatalogueComplete();
    void onFailed(int exitCode, const QString &message);
    void redraw();

private:
    void scheduleRedraw();
    // Writes to standard output; a closed output ends the run.
    void output(const QByteArray &bytes);
    [[nodiscard]] bool drawsTable() const;
    // The known readings that pass the label filter, in catalogue order.
    [[nodiscard]] QVector<ReadingRow> shownRows() const;

    ClientOptions options_;
    bool terminal_;
    TelvaneLink *link_;
    QTimer *redrawTimer_;
    QTimer *staleTimer_;
    bool screenCleared_ = false;
};
