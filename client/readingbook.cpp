#include "readingbook.h"

namespace {

// Bounds of a believable tick, so one odd round cannot make everything stale
// or nothing ever.
constexpr qint64 shortestTickMs = 100;
constexpr qint64 longestTickMs = 60000;

} // namespace

ReadingBook::ReadingBook(int maximumRows)
    : maximumRows_(maximumRows)
{
}

void ReadingBook::noteAnswer(int row, bool wanted)
{
    quint8 &state = state_[row];
    // An answer nobody asked for, or a second one this round: the catalogue.
    if (!(state & Asked) || (state & SeenThisRound))
        roundHasCatalogue_ = true;
    state &= ~Asked;
    if (!(state & SeenThisRound)) {
        state |= SeenThisRound;
        roundOrder_.append(row);
    }
    if (wanted && !(state & ToAsk)) {
        state |= ToAsk;
        toAsk_.append(row);
    }
}

void ReadingBook::takeReply(const ReadingRow &row, bool wanted)
{
    const auto found = rowByHash_.constFind(row.hash);
    if (found == rowByHash_.constEnd() && rows_.size() >= maximumRows_) {
        // A server gone mad must not eat our memory; the set stays as bounded.
        if (refused_.size() < maximumRows_)
            refused_.insert(row.hash);
        return;
    }
    int index;
    if (found == rowByHash_.constEnd()) {
        index = rows_.size();
        rowByHash_.insert(row.hash, index);
        rows_.append(row);
        state_.append(0);
        answeredMs_.append(-1);
    } else {
        index = found.value();
        ReadingRow &kept = rows_[index];
        // Mostly the same texts as last time: keep sharing them.
        if (kept.label != row.label)
            kept.label = row.label;
        if (kept.unit != row.unit)
            kept.unit = row.unit;
        kept.value = row.value;
        kept.stale = row.stale;
    }
    noteAnswer(index, wanted);
    if (wanted)
        state_[index] |= Wanted;
}

void ReadingBook::takeUnreadableReply(const QString &hash)
{
    const auto found = rowByHash_.constFind(hash);
    if (found != rowByHash_.constEnd())
        noteAnswer(found.value(), state_.at(found.value()) & Wanted);
}

QStringList ReadingBook::takeRequests()
{
    QStringList requests;
    requests.reserve(toAsk_.size());
    for (const int row : qAsConst(toAsk_)) {
        state_[row] = (state_[row] & ~ToAsk) | Asked | AskedThisRound;
        requests.append(rows_.at(row).hash);
    }
    toAsk_.clear();
    return requests;
}

void ReadingBook::keepRoundOrder()
{
    // The catalogue's order; rows it did not name are gone, and so are the
    // requests for them, which will never be answered.
    QVector<ReadingRow> rows;
    QVector<quint8> states;
    QVector<qint64> answered;
    QVector<int> newIndex(rows_.size(), -1);
    rows.reserve(roundOrder_.size());
    rowByHash_.clear();
    for (const int row : qAsConst(roundOrder_)) {
        newIndex[row] = rows.size();
        rowByHash_.insert(rows_.at(row).hash, rows.size());
        rows.append(rows_.at(row));
        states.append(state_.at(row));
        answered.append(answeredMs_.at(row));
    }
    rows_ = rows;
    state_ = states;
    answeredMs_ = answered;
    QVector<int> toAsk;
    for (const int row : qAsConst(toAsk_)) {
        if (newIndex.at(row) >= 0)
            toAsk.append(newIndex.at(row));
    }
    toAsk_ = toAsk;
    for (int &row : roundOrder_)
        row = newIndex.at(row);
}

bool ReadingBook::endRound(qint64 nowMs)
{
    const bool hadCatalogue = roundHasCatalogue_;
    if (roundHasCatalogue_)
        keepRoundOrder();
    if (!roundOrder_.isEmpty()) {
        for (int row = 0; row < rows_.size(); ++row) {
            quint8 &state = state_[row];
            // A tick came, but requests from before it got no answer: lost on
            // the way (a server may drop what does not fit its read), so ask again.
            if ((state & AskedLastRound) && !(state & SeenThisRound) && (state & Asked) && (state & Wanted)
                && !(state & ToAsk)) {
                state = (state & ~Asked) | ToAsk;
                toAsk_.append(row);
            }
            state = (state & AskedThisRound) ? (state | AskedLastRound) : (state & ~AskedLastRound);
            state &= ~AskedThisRound;
        }
        if (lastRoundMs_ >= 0)
            tickMs_ = qBound(shortestTickMs, nowMs - lastRoundMs_, longestTickMs);
        lastRoundMs_ = nowMs;
        for (const int row : qAsConst(roundOrder_))
            answeredMs_[row] = nowMs;
    }
    for (const int row : qAsConst(roundOrder_))
        state_[row] &= ~SeenThisRound;
    roundOrder_.clear();
    roundHasCatalogue_ = false;
    return hadCatalogue;
}

void ReadingBook::markStale(qint64 nowMs)
{
    for (int row = 0; row < rows_.size(); ++row) {
        const qint64 answered = answeredMs_.at(row) >= 0 ? answeredMs_.at(row) : nowMs;
        rows_[row].stale = (state_.at(row) & Wanted) && nowMs - answered > staleTicks * tickMs_;
    }
}

void ReadingBook::restart()
{
    for (quint8 &state : state_)
        state &= Wanted;
    toAsk_.clear();
    roundOrder_.clear();
    roundHasCatalogue_ = false;
    lastRoundMs_ = -1;
    refused_.clear();
}
