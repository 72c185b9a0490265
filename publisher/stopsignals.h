#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// The requests to stop that a service gets (Ctrl+C, the service manager's
// SIGTERM, SIGHUP when its terminal goes), delivered on the event loop at
// once, whatever a refresh is doing. A closed standard output (SIGPIPE) is
// no reason to stop.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // Starts listening; false (with the reason in *error) when it cannot.
    [[nodiscard]] bool install(QString *error);

signals:
    // `name` as people know it, e.g. "SIGTERM".
    void stopRequested(const QString &name);

private slots:
    void takeSignal();

private:
    QSocketNotifier *notifier_ = nullptr;
};
