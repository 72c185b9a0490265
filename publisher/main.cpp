// telvane-publish: publishes readings in the hardware monitor's section
// layout, so that Telvane can be run and tested without the monitor.

#include "commandline.h"
#include "complaint.h"
#include "demosource.h"
#include "computermode.h"
#include "publisher.h"
#include "readinglist.h"
#include "sectionaccess.h"
#include "stopsignals.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

constexpr int runtimeError = 1;
constexpr unsigned maximumReadings = 100000;
constexpr double minimumInterval = 0.01;
constexpr double maximumInterval = 3600.0;

struct Options
{
    std::size_t readings = DemoSource::defaultReadingCount;
    std::string section = section::productName();
    int intervalMilliseconds = 1000;
    bool demo = false;
    ComputerMode computer; // without --demo: this computer's own sensors
};

// The options beyond --help, --version and this computer's own (ComputerMode's).
struct PublishOptionSet
{
    QCommandLineOption demo{QStringLiteral("demo"),
                            QStringLiteral("Publish a made-up computer (board, CPU, GPU, drives) instead of this "
                                           "computer's own sensors.")};
    QCommandLineOption readings{QStringLiteral("readings"),
                                QStringLiteral("With --demo: publish N readings (default %1, at most %2).")
                                    .arg(DemoSource::defaultReadingCount)
                                    .arg(maximumReadings),
                                QStringLiteral("N")};
    QCommandLineOption sectionName{
        QStringLiteral("section"),
        QStringLiteral("Name of the section (default %1).").arg(QString::fromStdString(section::productName())),
        QStringLiteral("NAME")};
    QCommandLineOption interval{QStringLiteral("interval"), QStringLiteral("Seconds between updates (default 1)."),
                                QStringLiteral("SECONDS")};
};

// --demo against the options of this computer's own sensors; an error message, or nothing.
QString readMode(const QCommandLineParser &parser, const PublishOptionSet &set, Options *options)
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
    options->demo = parser.isSet(set.demo);
    const QStringList sensorOnly = options->computer.sensorOnlyOptionsIn(parser);
    if (options->demo && !sensorOnly.isEmpty())
        return QStringLiteral("%1 reads this computer's own sensors and cannot go with --demo")
            .arg(sensorOnly.join(QStringLiteral(", ")));
    if (!options->demo && parser.isSet(set.readings))
        return QStringLiteral("--readings scales the made-up computer and needs --demo");
    QString rootError;
    if (!options->computer.readOptions(parser, &rootError))
        return rootError;
    return QString();
}

QString readReadings(const QCommandLineParser &parser, const PublishOptionSet &set, Options *options)
{
    if (!parser.isSet(set.readings))
        return QString();
    bool ok = false;
    const uint readings = parser.value(set.readings).toUInt(&ok);
    if (!ok || readings > maximumReadings)
        return QStringLiteral("--readings wants a whole number from 0 to %1, not '%2'")
            .arg(maximumReadings)
            .arg(parser.value(set.readings));
    options->readings = readings;
    return QString();
}

QString readSectionAndInterval(const QCommandLineParser &parser, const PublishOptionSet &set, Options *options)
{
    if (parser.isSet(set.sectionName)) {
        options->section = parser.value(set.sectionName).toStdString();
        if (options->section.empty())
            return QStringLiteral("--section wants a name");
    }
    if (!parser.isSet(set.interval))
        return QString();
    bool ok = false;
    const double seconds = parser.value(set.interval).toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < minimumInterval || seconds > maximumInterval)
        return QStringLiteral("--interval wants seconds from %1 to %2, not '%3'")
            .arg(minimumInterval)
            .arg(maximumInterval)
            .arg(parser.value(set.interval));
    options->intervalMilliseconds = static_cast<int>(std::lround(seconds * 1000.0));
    return QString();
}

[[nodiscard]] OptionsResult<Options> parseOptions(const QStringList &arguments)
{
    CommandLine commandLine(QStringLiteral(
        "Publishes sensor readings in the hardware monitor's shared-memory layout until stopped "
        "(Ctrl+C, SIGTERM or SIGHUP), then removes the section. Without --demo: this computer's own sensors "
        "(hwmon, thermal zones, batteries, CPU, memory, load, network, disks).\n"
        "Exit codes: 0 stopped, 1 cannot publish, 2 bad options, 3 no sensors at all (try --demo)."));
    QCommandLineParser &parser = commandLine.parser();
    const PublishOptionSet set;
    parser.addOptions({set.demo, set.readings, set.sectionName, set.interval});
    OptionsResult<Options> result;
    result.options.computer.addOptions(parser);
    if (!commandLine.parse(arguments, &result))
        return result;
    QString error = readMode(parser, set, &result.options);
    if (error.isEmpty())
        error = readReadings(parser, set, &result.options);
    if (error.isEmpty())
        error = readSectionAndInterval(parser, set, &result.options);
    if (!error.isEmpty())
        return optionsFailure<Options>(error);
    return result;
}

// How long one refresh may wait for a chip: half the interval, within bounds.
std::chrono::milliseconds readDeadline(int intervalMilliseconds)
{
    return std::chrono::milliseconds(std::clamp(intervalMilliseconds / 2, 50, 500));
}

int listDemoReadings(DemoSource &source)
{
    const std::vector<section::ReadingRecord> readings = source.refresh();
    const std::vector<std::string> sensors = source.sensors();
    const QStringList lines = formatReadingList(
        sensors, readings,
        QStringLiteral("%1 readings of %2 sensors of the made-up computer").arg(readings.size()).arg(sensors.size()));
    std::fputs(qUtf8Printable(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')), stdout);
    return 0;
}

// The reason a section cannot be published, as the user can act on it.
QString openFailure(const std::string &name, const section::OpenResult &result)
{
    return QStringLiteral("cannot publish %1: %2").arg(QString::fromStdString(name), QString::fromStdString(result.message));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvane-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVANE_VERSION));

    const OptionsResult<Options> parsed = parseOptions(QCoreApplication::arguments());
    if (const std::optional<int> exitCode = finishWithoutRunning(parsed))
        return *exitCode;
    const Options *options = &parsed.options;

    // From here on a stop request ends the event loop at once, and the
    // section is cleaned up below.
    StopSignals stopSignals;
    QString signalError;
    if (!stopSignals.install(&signalError)) {
        complain(signalError);
        return runtimeError;
    }
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &application, [] { QCoreApplication::quit(); });

    std::unique_ptr<ReadingSource> source;
    if (options->demo) {
        auto demo = std::make_unique<DemoSource>(options->readings);
        if (options->computer.listOnly())
            return listDemoReadings(*demo);
        source = std::move(demo);
    } else {
        int exitCode = 0;
        source = options->computer.open(readDeadline(options->intervalMilliseconds), &exitCode);
        if (!source)
            return exitCode; // nothing to publish, or --list done
    }
    int result = 0;
    {
        Publisher publisher(*source);
        const section::OpenResult opened = publisher.open(options->section);
        if (!opened.isOpen()) {
            complain(openFailure(options->section, opened));
            return runtimeError;
        }
        if (opened.outcome == section::OpenOutcome::Reused)
            std::printf("telvane-publish: taking over %s, left by an earlier publisher\n", options->section.c_str());
        publisher.start(options->intervalMilliseconds);
        std::printf("telvane-publish: publishing %zu readings of %zu sensors as %s every %g s; "
                    "Ctrl+C stops\n",
                    publisher.readingCount(), publisher.sensorCount(), options->section.c_str(),
                    options->intervalMilliseconds / 1000.0);
        std::fflush(stdout);
        result = QCoreApplication::exec();
        publisher.close();
    }
    std::printf("telvane-publish: stopped, section %s removed\n", options->section.c_str());
    std::fflush(stdout);
    // A thread stuck in a driver's read can be neither ended nor waited for.
    if (source->hasHangingReads())
        std::_Exit(result);
    return result;
}
