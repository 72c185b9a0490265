#include "computermode.h"

#include "linuxmode.h"
#include "linuxsource.h"

#include <cstdio>
#include <cstdlib>

struct ComputerMode::Private
{
    LinuxOptionSet optionSet;
    LinuxOptions options;
};

ComputerMode::ComputerMode()
    : d_(std::make_unique<Private>())
{
}

ComputerMode::~ComputerMode() = default;
ComputerMode::ComputerMode(ComputerMode &&) noexcept = default;
ComputerMode &ComputerMode::operator=(ComputerMode &&) noexcept = default;

void ComputerMode::addOptions(QCommandLineParser &parser) const
{
    d_->optionSet.addTo(parser);
}

QStringList ComputerMode::sensorOnlyOptionsIn(const QCommandLineParser &parser) const
{
    return d_->optionSet.sensorOnlyOptionsIn(parser);
}

bool ComputerMode::readOptions(const QCommandLineParser &parser, QString *error)
{
    return d_->optionSet.read(parser, &d_->options, error);
}

bool ComputerMode::listOnly() const
{
    return d_->options.list;
}

std::unique_ptr<ReadingSource> ComputerMode::open(std::chrono::milliseconds readDeadline, int *exitCode) const
{
    std::unique_ptr<LinuxSource> source = openLinuxSource(d_->options, readDeadline);
    if (!source) {
        *exitCode = noSensorsExit;
        return nullptr;
    }
    if (d_->options.list) {
        *exitCode = listLinuxReadings(*source);
        // A read still out (a slow or stuck chip) must not run into the clean-up at exit.
        if (source->hasHangingReads()) {
            std::fflush(nullptr);
            std::_Exit(*exitCode);
        }
        return nullptr;
    }
    return source;
}
