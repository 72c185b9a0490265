#include "readingbook.h"

void ReadingBook::noteAnswer(const QString &hash, bool wanted)
{
    // An answer nobody asked for, or a second one this round: the catalogue.
    if (!asked_.remove(hash) || roundSeen_.contains(hash))
        roundHasCatalogue_ = true;
    if (!roundSeen_.contains(hash)) {
        roundSeen_.insert(hash);
        roundOrder_.append(hash);
    }
    if (wanted && !toAsk_.contains(hash))
        toAsk_.append(hash);
}

void ReadingBook::takeReply(const ReadingRow &row, bool wanted)
{
    noteAnswer(row.hash, wanted);
    if (wanted)
        wanted_.insert(row.hash);
    const auto found = rowByHash_.constFind(row.hash);
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
    for (const QString &hash : requests)
        asked_.insert(hash);
    toAsk_.clear();
    return requests;
}

void ReadingBook::endRound()
{
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
        // Requests for readings that are gone will never be answered.
        for (auto it = asked_.begin(); it != asked_.end();) {
            if (index.contains(*it))
                ++it;
            else
                it = asked_.erase(it);
        }
    }
    roundOrder_.clear();
    roundSeen_.clear();
    roundHasCatalogue_ = false;
}

void ReadingBook::restart()
{
    asked_.clear();
    toAsk_.clear();
    roundOrder_.clear();
    roundSeen_.clear();
    roundHasCatalogue_ = false;
}
