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

void ReadingBook::noteAnswer(const QString &hash, bool wanted)
{
    // An answer nobody asked for, or a second one this round: the catalogue.
    if (!asked_.remove(hash) || roundSeen_.contains(hash))
        roundHasCatalogue_ = true;
    if (!roundSeen_.contains(hash)) {
        roundSeen_.insert(hash);
        roundOrder_.append(hash);
    }
    if (wanted && !toAskSet_.contains(hash)) {
        toAskSet_.insert(hash);
        toAsk_.append(hash);
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
    noteAnswer(row.hash, wanted);
    if (wanted)
        wanted_.insert(row.hash);
    if (found == rowByHash_.constEnd()) {
        rowByHash_.insert(row.hash, rows_.size());
        rows_.append(row);
    } else {
        rows_[found.value()] = row;
    }
}

void ReadingBook::takeUnreadableReply(const QString &hash)
{
    if (rowByHash_.contains(hash))
        noteAnswer(hash, wanted_.contains(hash));
}

QStringList ReadingBook::takeRequests()
{
    const QStringList requests = toAsk_;
    for (const QString &hash : requests) {
        asked_.insert(hash);
        askedThisRound_.insert(hash);
    }
    toAsk_.clear();
    toAskSet_.clear();
    return requests;
}

bool ReadingBook::endRound(qint64 nowMs)
{
    const bool hadCatalogue = roundHasCatalogue_;
    if (roundHasCatalogue_) {
        QVector<ReadingRow> ordered;
        QHash<QString, int> index;
        for (const QString &hash : qAsConst(roundOrder_)) {
            const auto found = rowByHash_.constFind(hash);
            if (found == rowByHash_.constEnd())
                continue;
            index.insert(hash, ordered.size());
            ordered.append(rows_.at(found.value()));
        }
        rows_ = ordered;
        rowByHash_ = index;
        for (auto it = answeredMs_.begin(); it != answeredMs_.end();)
            it = index.contains(it.key()) ? std::next(it) : answeredMs_.erase(it);
        // Requests for readings that are gone will never be answered.
        for (QSet<QString> *hashes : {&asked_, &wanted_}) {
            for (auto it = hashes->begin(); it != hashes->end();) {
                if (index.contains(*it))
                    ++it;
                else
                    it = hashes->erase(it);
            }
        }
    }
    // A tick came, but requests from before it got no answer: lost on the
    // way (a server may drop what does not fit its read), so ask again.
    if (!roundOrder_.isEmpty()) {
        for (const QString &hash : qAsConst(askedLastRound_)) {
            if (!roundSeen_.contains(hash) && asked_.contains(hash) && wanted_.contains(hash)
                && !toAskSet_.contains(hash)) {
                asked_.remove(hash);
                toAskSet_.insert(hash);
                toAsk_.append(hash);
            }
        }
        askedLastRound_ = askedThisRound_;
        askedThisRound_.clear();
        if (lastRoundMs_ >= 0)
            tickMs_ = qBound(shortestTickMs, nowMs - lastRoundMs_, longestTickMs);
        lastRoundMs_ = nowMs;
        for (const QString &hash : qAsConst(roundOrder_)) {
            if (rowByHash_.contains(hash))
                answeredMs_.insert(hash, nowMs);
        }
    }
    roundOrder_.clear();
    roundSeen_.clear();
    roundHasCatalogue_ = false;
    return hadCatalogue;
}

void ReadingBook::markStale(qint64 nowMs)
{
    for (ReadingRow &row : rows_) {
        const qint64 answered = answeredMs_.value(row.hash, nowMs);
        row.stale = wanted_.contains(row.hash) && nowMs - answered > staleTicks * tickMs_;
    }
}

void ReadingBook::restart()
{
    asked_.clear();
    askedThisRound_.clear();
    askedLastRound_.clear();
    toAsk_.clear();
    toAskSet_.clear();
    roundOrder_.clear();
    roundSeen_.clear();
    roundHasCatalogue_ = false;
    lastRoundMs_ = -1;
    refused_.clear();
}
