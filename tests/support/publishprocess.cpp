#include "publishprocess.h"

#include <utility>

PublishProcess::PublishProcess(QString program)
    : program_(std::move(program))
{
}

PublishProcess::~PublishProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        process.waitForFinished(10000);
    }
}

bool PublishProcess::start(const QStringList &arguments)
{
    process.start(program_, arguments);
    return process.waitForStarted(10000);
}

bool PublishProcess::isPublishing()
{
    output += process.readAllStandardOutput();
    return output.contains("publishing");
}
