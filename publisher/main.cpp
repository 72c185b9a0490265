// telvane-publish: publishes readings in the hardware monitor's section
// layout, so that Telvane can be run and tested without the monitor.

#include "complaint.h"
#include "demosource.h"
#include "computermode.h"
#include "publisher.h"
#include "readinglist.h"
#include "sectionaccess.h"
#include "stopsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

constexpr int usageError = 2;
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

[[nodiscard]] std::optional<Options> parseOptions(const QCoreApplication &application, QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Publishes sensor readings in the hardware monitor's shared-memory layout until stopped "
        "(Ctrl+C, SIGTERM or SIGHUP), then removes the section. Without --demo: this computer's own sensors "
        "(hwmon, thermal zones, batteries, CPU, memory, load, network, disks).\n"
        "Exit codes: 0 stopped, 1 cannot publish, 2 bad options, 3 no sensors at all (try --demo)."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption demoOption(QStringLiteral("demo"),
                                        QStringLiteral("Publish a made-up computer (board, CPU, GPU, drives) instead of this "
                                                       "computer's own sensors."));
    const QCommandLineOption readingsOption(
        QStringLiteral("readings"),
        QStringLiteral("With --demo: publish N readings (default %1, at most %2).")
            .arg(DemoSource::defaultReadingCount)
            .arg(maximumReadings),
        QStringLiteral("N"));
    const QCommandLineOption sectionOption(
        QStringLiteral("section"),
        QStringLiteral("Name of the section (default %1).").arg(QString::fromStdString(section::productName())),
        QStringLiteral("NAME"));
    const QCommandLineOption intervalOption(
        QStringLiteral("interval"), QStringLiteral("Seconds between updates (default 1)."), QStringLiteral("SECONDS"));
    parser.addOptions({demoOption, readingsOption, sectionOption, intervalOption});
    Options options;
    options.computer.addOptions(parser);

    if (!parser.parse(application.arguments())) {
        complain(parser.errorText() + QStringLiteral(" (see --help)"));
        return std::nullopt;
    }
    if (parser.isSet(helpOption))
        parser.showHelp(0); // exits
    if (parser.isSet(versionOption))
        parser.showVersion(); // exits
    if (!parser.positionalArguments().isEmpty()) {
        complain(QStringLiteral("unexpected argument '%1' (see --help)").arg(parser.positionalArguments().first()));
        return std::nullopt;
    }
    options.demo = parser.isSet(demoOption);
    const QStringList sensorOnly = options.computer.sensorOnlyOptionsIn(parser);
    if (options.demo && !sensorOnly.isEmpty()) {
        complain(QStringLiteral("%1 reads this computer's own sensors and cannot go with --demo")
                     .arg(sensorOnly.join(QStringLiteral(", "))));
        return std::nullopt;
    }
    if (!options.demo && parser.isSet(readingsOption)) {
        complain(QStringLiteral("--readings scales the made-up computer and needs --demo"));
        return std::nullopt;
    }
    QString rootError;
    if (!options.computer.readOptions(parser, &rootError)) {
        complain(rootError);
        return std::nullopt;
    }
    if (parser.isSet(readingsOption)) {
        bool ok = false;
        const uint readings = parser.value(readingsOption).toUInt(&ok);
        if (!ok || readings > maximumReadings) {
            complain(QStringLiteral("--readings wants a whole number from 0 to %1, not '%2'")
                     .arg(maximumReadings)
                     .arg(parser.value(readingsOption)));
            return std::nullopt;
        }
        options.readings = readings;
    }
    if (parser.isSet(sectionOption)) {
        options.section = parser.value(sectionOption).toStdString();
        if (options.section.empty()) {
            complain(QStringLiteral("--section wants a name"));
            return std::nullopt;
        }
    }
    if (parser.isSet(intervalOption)) {
        bool ok = false;
        const double seconds = parser.value(intervalOption).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds < minimumInterval || seconds > maximumInterval) {
            complain(QStringLiteral("--interval wants seconds from %1 to %2, not '%3'")
                     .arg(minimumInterval)
                     .arg(maximumInterval)
                     .arg(parser.value(intervalOption)));
            return std::nullopt;
        }
        options.intervalMilliseconds = static_cast<int>(std::lround(seconds * 1000.0));
    }
    return options;
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

    QCommandLineParser parser;
    const std::optional<Options> options = parseOptions(application, parser);
    if (!options)
        return usageError;

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
