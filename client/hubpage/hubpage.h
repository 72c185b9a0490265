#pragma once

#include <QString>
#include <QStringList>

class QUrl;

// The Start menu's "Telvane hub page": opens the hub's page for this
// computer, first starting telvane-hub when nothing answers on its port, so
// that a second click finds the running hub instead of starting another.
class HubPage
{
public:
    HubPage(QString hubProgram, QStringList hubArguments, quint16 port);

    // What went wrong, for the user; empty once the page is open.
    [[nodiscard]] QString open() const;

private:
    [[nodiscard]] bool answers(int milliseconds) const;
    [[nodiscard]] bool startHub() const;
    [[nodiscard]] bool waitForHub() const;
    [[nodiscard]] QUrl url() const;

    QString hubProgram;
    QStringList hubArguments;
    quint16 port;
};
