#pragma once

// telvane-publish's default mode: this Linux computer's own readings.

#include <QCommandLineOption>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class LinuxSource;
class QCommandLineParser;

struct LinuxOptions
{
    QString sysfsRoot = QStringLiteral("/sys");
    QString procRoot = QStringLiteral("/proc");
    bool list = false;
    bool hardwareOnly = false; // no hardware sensor counts as nothing to publish
};

class LinuxOptionSet
{
public:
    LinuxOptionSet();
    void addTo(QCommandLineParser &parser) const;
    // False (with the reason in *error) for a root that is no folder.
    [[nodiscard]] bool read(const QCommandLineParser &parser, LinuxOptions *options, QString *error) const;
    // Those given that mean something only for this computer's own sensors
    // (not --list), as "--name": for the complaint that --demo takes none.
    [[nodiscard]] QStringList sensorOnlyOptionsIn(const QCommandLineParser &parser) const;

private:
    QCommandLineOption sysfsRoot_;
    QCommandLineOption procRoot_;
    QCommandLineOption list_;
    QCommandLineOption hardwareOnly_;
};

// Exit code when the computer offers nothing at all to publish (with
// --hardware-only: no hardware sensor).
inline constexpr int noSensorsExit = 3;

// Looks at the computer; says on stderr when it offers no hardware sensor
// (suggesting --demo) and returns nothing when it offers no reading at all.
// A chip whose reads take longer than `readDeadline` is published with the
// latest sample read in the background, and named on stderr.
[[nodiscard]] std::unique_ptr<LinuxSource> openLinuxSource(const LinuxOptions &options,
                                                           std::chrono::milliseconds readDeadline);


// --list: two looks half a second apart (so rates and usages show), printed
// as a table of what would be published. Returns the exit code.
[[nodiscard]] int listLinuxReadings(LinuxSource &source);
