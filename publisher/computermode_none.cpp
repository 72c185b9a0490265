#include "computermode.h"

#include "complaint.h"
#include "readingsource.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

// As on Linux: nothing at all to publish (try --demo).
constexpr int noSensorsExit = 3;

} // namespace

struct ComputerMode::Private
{
    QCommandLineOption list{QStringLiteral("list"), QStringLiteral("Print what would be published as a table, and exit.")};
    bool listOnly = false;
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
    parser.addOption(d_->list);
}

QStringList ComputerMode::sensorOnlyOptionsIn(const QCommandLineParser &) const
{
    return {};
}

bool ComputerMode::readOptions(const QCommandLineParser &parser, QString *)
{
    d_->listOnly = parser.isSet(d_->list);
    return true;
}

bool ComputerMode::listOnly() const
{
    return d_->listOnly;
}

std::unique_ptr<ReadingSource> ComputerMode::open(std::chrono::milliseconds, int *exitCode) const
{
    complain(QStringLiteral("this computer's own sensors are read on Linux only; here the hardware monitor "
                            "publishes them, and --demo publishes a made-up computer"));
    *exitCode = noSensorsExit;
    return nullptr;
}
