#include "upstreamfeed.h"

#include "hubstore.h"
#include "readingformat.h"
#include "telvanelink.h"

#include <QDateTime>

UpstreamFeed::UpstreamFeed(HubStore &store, int upstream, const ClientOptions &options, QObject *parent)
    : QObject(parent)
    , store_(store)
    , upstream_(upstream)
    , link_(new TelvaneLink(options, HubStore::maximumReadings, this))
{
    connect(link_, &TelvaneLink::connected, this, &UpstreamFeed::onConnected);
    connect(link_, &TelvaneLink::repliesTaken, this, &UpstreamFeed::onReplies);
    connect(link_, &TelvaneLink::roundEnded, this, &UpstreamFeed::onRoundEnded);
    connect(link_, &TelvaneLink::catalogueComplete, this, &UpstreamFeed::onCatalogueComplete);
    connect(link_, &TelvaneLink::failed, this, &UpstreamFeed::onFailed);
}

void UpstreamFeed::start()
{
    link_->start();
}

void UpstreamFeed::onConnected()
{
    store_.setConnected(upstream_, true);
    lastFailure_.clear();
    emit message(QStringLiteral("connected to %1").arg(link_->where()));
}

void UpstreamFeed::onReplies(const QVector<ParsedReply> &replies)
{
    store_.takeReplies(upstream_, replies, QDateTime::currentMSecsSinceEpoch());
    for (const ParsedReply &reply : replies) {
        if (!reply.ok && unreadableReplies_++ == 0)
            emit message(QStringLiteral("%1: skipped a reply: %2 (further ones are not logged)")
                             .arg(link_->where(), printableText(reply.problem)));
    }
}

void UpstreamFeed::onRoundEnded(bool heldCatalogue)
{
    store_.setTick(upstream_, link_->book().tickMs());
    if (heldCatalogue)
        takeCatalogue();
}

void UpstreamFeed::onCatalogueComplete()
{
    takeCatalogue();
    emit message(QStringLiteral("%1 offers %2 readings").arg(link_->where()).arg(link_->book().rows().size()));
}

void UpstreamFeed::takeCatalogue()
{
    const int refused = link_->book().refusedRows();
    store_.takeCatalogue(upstream_, link_->book().rows(), refused);
    if (refused > 0 && !limitReported_) {
        limitReported_ = true;
        emit message(QStringLiteral("%1 offers more than %2 readings; the hub keeps the first %2")
                         .arg(link_->where())
                         .arg(HubStore::maximumReadings));
    }
}

void UpstreamFeed::onFailed(int exitCode, const QString &text)
{
    Q_UNUSED(exitCode)
    store_.setConnected(upstream_, false, text);
    // The same failure again and again (a computer switched off) is logged once.
    const QString gist = text.section(QStringLiteral("; connecting again"), 0, 0);
    if (gist != lastFailure_)
        emit message(text);
    lastFailure_ = gist;
}
