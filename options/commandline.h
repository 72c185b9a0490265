#pragma once

// How telvane-client, telvane-hub and telvane-publish read their command
// line: Qt's parser with -h/--help and -v/--version, one result shape, and
// one way to end on bad options (the message, a pointer to --help, exit 2).

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include <optional>

class QStringList;

// What a program does once its command line is read.
struct OptionsOutcome
{
    enum Action { Run, ShowHelp, ShowVersion, Fail };
    Action action = Run;
    QString text; // the help text, or the message for Fail
};

template <typename Options>
struct OptionsResult : OptionsOutcome
{
    Options options;
};

template <typename Options>
[[nodiscard]] OptionsResult<Options> optionsFailure(const QString &message)
{
    OptionsResult<Options> result;
    result.action = OptionsOutcome::Fail;
    result.text = message;
    return result;
}

// The exit code of every program for bad options.
inline constexpr int badOptionsExit = 2;

class CommandLine
{
public:
    // `helpTail` follows the options in --help (exit codes, and the like).
    explicit CommandLine(const QString &description, const QString &helpTail = QString());

    [[nodiscard]] QCommandLineParser &parser() { return parser_; }
    // Parses the arguments (the program's name first). False when the
    // program is not to run: help or version asked, or the arguments are
    // no options; `outcome` says which.
    [[nodiscard]] bool parse(const QStringList &arguments, OptionsOutcome *outcome);

private:
    QCommandLineParser parser_;
    QCommandLineOption help_;
    QCommandLineOption version_;
    QString helpTail_;
};

// Prints what the outcome asks for (help, version, or the failure as
// "NAME: MESSAGE" and a pointer to --help) with QCoreApplication's name and
// version, and returns the exit code; nothing when the program is to run.
[[nodiscard]] std::optional<int> finishWithoutRunning(const OptionsOutcome &outcome);

// A whole number from `lowest` to `highest`, or nothing.
[[nodiscard]] std::optional<int> boundedInt(const QString &text, int lowest, int highest);
