#include "hubpage.h"

#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDir>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>

#include <utility>

namespace {
// A hub needs a moment to read its options and bind; a slow disk at sign-in more.
constexpr int startLimitMs = 20000;
constexpr int retryPauseMs = 250;
} // namespace

HubPage::HubPage(QString hubProgram, QStringList hubArguments, quint16 port)
    : hubProgram(std::move(hubProgram)), hubArguments(std::move(hubArguments)), port(port)
{
}

QString HubPage::open() const
{
    // Windows takes about a second to refuse a closed loopback port, a hub
    // that listens accepts at once: half a second tells them apart.
    if (!answers(500)) {
        if (!startHub())
            return QStringLiteral("%1 could not be started.").arg(QDir::toNativeSeparators(hubProgram));
        if (!waitForHub())
            return QStringLiteral("telvane-hub started, but nothing answered on %1 within %2 s.")
                .arg(url().toString())
                .arg(startLimitMs / 1000);
    }
    if (!QDesktopServices::openUrl(url()))
        return QStringLiteral("No web browser opened %1.").arg(url().toString());
    return {};
}

bool HubPage::answers(int milliseconds) const
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    return socket.waitForConnected(milliseconds);
}

bool HubPage::waitForHub() const
{
    const QDeadlineTimer deadline(startLimitMs);
    while (!deadline.hasExpired()) {
        if (answers(retryPauseMs))
            return true;
        QThread::msleep(retryPauseMs); // refused at once where the port is simply closed
    }
    return false;
}

QUrl HubPage::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));
}
