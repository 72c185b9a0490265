#pragma once

// What a watching client knows: the readings in catalogue order, and which of
// them to ask for again.
//
// The server answers each request once, on its next tick, and re-sends the
// whole catalogue (unasked) when its reading count changes, just before that
// tick's answers. So a reading may come twice in one tick; asking for it twice
// then would double its requests on every later tick. The client therefore
// asks once per reading per burst of replies (takeRequests() when the stream
// rests for a moment).
//
// A longer rest ends a round (endRound()): when the round held a reply nobody
// asked for, or one reading twice, it held a catalogue, so the rows follow its
// order and readings missing from it are gone. A request that a round with
// replies left unanswered, although it was made before that round, is asked
// again.
//
// Rounds also time the server's tick, so that a watched reading not answered
// for three ticks can be marked stale.

#include "readingformat.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <QVector>

class ReadingBook
{
public:
    // Far more than any monitor publishes.
    static constexpr int defaultMaximumRows = 100000;
    // Ticks a watched reading may go unanswered before it counts as stale.
    static constexpr int staleTicks = 3;

    explicit ReadingBook(int maximumRows = defaultMaximumRows);

    // One reply; `wanted` when the client watches this reading.
    void takeReply(const ReadingRow &row, bool wanted);
    // A reply for `hash` that could not be read: answered all the same, so
    // a known reading is asked for again.
    void takeUnreadableReply(const QString &hash);
    // The readings to ask for now, each once; they count as asked from here.
    [[nodiscard]] QStringList takeRequests();
    // Ends a round at `nowMs` (any steady clock); true when it held a catalogue.
    bool endRound(qint64 nowMs);
    // Marks the watched readings not answered for `staleTicks` ticks.
    void markStale(qint64 nowMs);
    // The server's tick as last measured between two rounds.
    [[nodiscard]] qint64 tickMs() const { return tickMs_; }
    // Readings the catalogue offered beyond the maximum, not kept.
    [[nodiscard]] int refusedRows() const { return refused_.size(); }
    // A new connection: nothing is asked any more.
    void restart();

    [[nodiscard]] const QVector<ReadingRow> &rows() const { return rows_; }

private:
    // What a row is in the conversation, as bits; per row rather than as
    // sets of hashes, so that an answer costs no allocation.
    enum State : quint8 {
        Asked = 1,           // asked for, no answer yet
        AskedThisRound = 2,
        AskedLastRound = 4,
        ToAsk = 8,           // in toAsk_
        Wanted = 16,         // watched: asked for again after each answer
        SeenThisRound = 32,  // in roundOrder_
    };

    void noteAnswer(int row, bool wanted);
    // A round held the catalogue: the rows take its order, the others go.
    void keepRoundOrder();

    int maximumRows_;
    QVector<ReadingRow> rows_;
    QVector<quint8> state_;       // per row
    QVector<qint64> answeredMs_;  // per row, -1 before the first round that answered it
    QSet<QString> refused_;
    qint64 lastRoundMs_ = -1;
    qint64 tickMs_ = 1000;
    QHash<QString, int> rowByHash_;
    QVector<int> toAsk_;          // rows, in the order they are to be asked for
    QVector<int> roundOrder_;     // rows, in the order the round answered them
    bool roundHasCatalogue_ = false;
};
