#pragma once

// telvane-publish without --demo: this computer's own readings, where we know
// how to read them. CMake picks the implementation: Linux's sensors
// (computermode_linux.cpp), or one that says there are none to read
// (computermode_none.cpp, on Windows, where the hardware monitor does that).

#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class QCommandLineParser;
class ReadingSource;

class ComputerMode
{
public:
    ComputerMode();
    ~ComputerMode();
    ComputerMode(ComputerMode &&) noexcept;
    ComputerMode &operator=(ComputerMode &&) noexcept;

    // The mode's options, --list among them (which --demo takes too).
    void addOptions(QCommandLineParser &parser) const;
    // Those given that mean something only for this computer's own sensors.
    [[nodiscard]] QStringList sensorOnlyOptionsIn(const QCommandLineParser &parser) const;
    // False (with the reason in *error) for options that cannot work.
    [[nodiscard]] bool readOptions(const QCommandLineParser &parser, QString *error);
    // --list: print what would be published, and exit.
    [[nodiscard]] bool listOnly() const;

    // The source to publish; nothing (with the exit code in *exitCode) when
    // the computer offers nothing to publish, or when --list is done.
    [[nodiscard]] std::unique_ptr<ReadingSource> open(std::chrono::milliseconds readDeadline, int *exitCode) const;

private:
    struct Private;
    std::unique_ptr<Private> d_;
};
