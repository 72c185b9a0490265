#include "clientsession.h"

#include "telvanelink.h"

#include <QDateTime>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int redrawEveryMs = 100;
// The live table is drawn again this often even without replies, so that
// readings that stopped coming show as stale.
constexpr int staleCheckMs = 1000;
constexpr int defaultTerminalWidth = 80;

// False when the stream cannot take the bytes (a closed pipe, a full disk).
bool writeTo(FILE *stream, const QByteArray &bytes)
{
    const size_t written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    return std::fflush(stream) == 0 && written == static_cast<size_t>(bytes.size());
}

void complain(const QString &message)
{
    // Messages quote the server's bytes: no escape sequence may reach the terminal.
    (void)writeTo(stderr, QByteArrayLiteral("telvane-client: ") + printableText(message).toUtf8() + '\n');
}

int terminalWidth()
{
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 20 ? columns : defaultTerminalWidth;
}

} // namespace

ClientSession::ClientSession(const ClientOptions &options, bool outputIsTerminal, QObject *parent)
    : QObject(parent)
    , options_(options)
    , terminal_(outputIsTerminal)
    , link_(new TelvaneLink(options, ReadingBook::defaultMaximumRows, this))
    , redrawTimer_(new QTimer(this))
    , staleTimer_(new QTimer(this))
{
    redrawTimer_->setSingleShot(true);
    redrawTimer_->setInterval(redrawEveryMs);
    staleTimer_->setInterval(staleCheckMs);
    connect(link_, &TelvaneLink::connected, this, &ClientSession::onConnected);
    connect(link_, &TelvaneLink::repliesTaken, this, &ClientSession::onReplies);
    connect(link_, &TelvaneLink::roundEnded, this, &ClientSession::scheduleRedraw);
    connect(link_, &TelvaneLink::catalogueComplete, this, &ClientSession::onCatalogueComplete);
    connect(link_, &TelvaneLink::failed, this, &ClientSession::onFailed);
    connect(link_, &TelvaneLink::finished, this, &ClientSession::finished);
    connect(redrawTimer_, &QTimer::timeout, this, &ClientSession::redraw);
    connect(staleTimer_, &QTimer::timeout, this, &ClientSession::redraw);
}

void ClientSession::start()
{
    if (drawsTable())
        staleTimer_->start();
    link_->start();
}

bool ClientSession::drawsTable() const
{
    return options_.watch && terminal_ && !options_.json;
}

void ClientSession::output(const QByteArray &bytes)
{
    if (writeTo(stdout, bytes))
        return;
    // Whoever read our output is gone (`| head -3`): end quietly and free
    // Telvane's only client slot; other write errors deserve a word.
    if (errno != EPIPE) {
        complain(QStringLiteral("cannot write the output: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        link_->finish(ExitNetworkError);
        return;
    }
    link_->finish(ExitOk);
}

void ClientSession::onConnected()
{
    if (options_.watch && !options_.json && !terminal_)
        complain(QStringLiteral("connected to %1").arg(link_->where()));
}

void ClientSession::onReplies(const QVector<ParsedReply> &replies)
{
    const QDateTime now = QDateTime::currentDateTime();
    QByteArray lines;
    for (const ParsedReply &reply : replies) {
        if (!reply.ok) {
            complain(QStringLiteral("skipped a reply: %1").arg(reply.problem));
            continue;
        }
        if (!labelMatches(reply.label, options_.filter))
            continue;
        const ReadingRow row{reply.hash, reply.label, reply.value, reply.unit, false};
        if (options_.json)
            lines += formatJsonLine(row, now) + '\n';
        else if (options_.watch && !terminal_)
            lines += formatPlainLine(row, now).toUtf8() + '\n';
    }
    if (!lines.isEmpty())
        output(lines);
    scheduleRedraw();
}

void ClientSession::onCatalogueComplete()
{
    const int known = link_->book().rows().size();
    if (known == 0) {
        if (!options_.watch) {
            complain(QStringLiteral("%1 sent no reading (is the sensor monitor running next to Telvane?)")
                         .arg(link_->where()));
            link_->finish(ExitNoReadings);
        }
        return;
    }
    const QVector<ReadingRow> shown = shownRows();
    if (shown.isEmpty()) {
        complain(QStringLiteral("none of the %1 readings of %2 has \"%3\" in its label")
                     .arg(known)
                     .arg(link_->where(), options_.filter));
        link_->finish(ExitNoReadings);
        return;
    }
    if (options_.watch)
        return;
    if (!options_.json) {
        TableStyle style;
        style.hashes = options_.hashes;
        style.width = terminal_ ? terminalWidth() : 0;
        output(formatTable(shown, style).join(QLatin1Char('\n')).toUtf8() + '\n');
    }
    link_->finish(ExitOk);
}

void ClientSession::onFailed(int exitCode, const QString &message)
{
    Q_UNUSED(exitCode)
    complain(message);
}

void ClientSession::scheduleRedraw()
{
    if (drawsTable() && !redrawTimer_->isActive())
        redrawTimer_->start();
}

QVector<ReadingRow> ClientSession::shownRows() const
{
    QVector<ReadingRow> shown;
    for (const ReadingRow &row : link_->book().rows()) {
        if (labelMatches(row.label, options_.filter))
            shown.append(row);
    }
    return shown;
}

void ClientSession::redraw()
{
    link_->markStale();
    const QVector<ReadingRow> shown = shownRows();
    QByteArray screen;
    if (!screenCleared_) {
        screen += "\x1b[2J";
        screenCleared_ = true;
    }
    screen += "\x1b[H";
    QStringList lines;
    lines << QStringLiteral("Telvane at %1, %2 readings, %3%4")
                 .arg(printableText(link_->where()))
                 .arg(shown.size())
                 .arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")),
                      link_->isConnected() ? QString() : QStringLiteral(", not connected"));
    TableStyle style;
    style.hashes = options_.hashes;
    style.width = terminalWidth();
    lines << formatTable(shown, style);
    for (const QString &line : qAsConst(lines))
        screen += line.toUtf8() + "\x1b[K\n";
    screen += "\x1b[J";
    output(screen);
}
