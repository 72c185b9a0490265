#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// telvane-publish as a test starts it: stopped the friendly way even when the
// test fails early, so that the program removes its section.
class PublishProcess
{
public:
    explicit PublishProcess(QString program);
    ~PublishProcess();
    PublishProcess(const PublishProcess &) = delete;
    PublishProcess &operator=(const PublishProcess &) = delete;

    [[nodiscard]] bool start(const QStringList &arguments);
    // True once the program says that it publishes.
    [[nodiscard]] bool isPublishing();

    QProcess process;
    // Its standard output so far, as isPublishing() took it in.
    QByteArray output;

private:
    QString program_;
};
