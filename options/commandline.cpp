#include "commandline.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

CommandLine::CommandLine(const QString &description, const QString &helpTail)
    : help_(QStringList{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."))
    , version_(QStringList{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Shows the version."))
    , helpTail_(helpTail)
{
    parser_.setApplicationDescription(description);
    parser_.addOptions({help_, version_});
}

bool CommandLine::parse(const QStringList &arguments, OptionsOutcome *outcome)
{
    if (!parser_.parse(arguments)) {
        outcome->action = OptionsOutcome::Fail;
        outcome->text = parser_.errorText();
    } else if (parser_.isSet(help_)) {
        outcome->action = OptionsOutcome::ShowHelp;
        outcome->text = parser_.helpText() + helpTail_;
    } else if (parser_.isSet(version_)) {
        outcome->action = OptionsOutcome::ShowVersion;
    } else {
        outcome->action = OptionsOutcome::Run;
    }
    return outcome->action == OptionsOutcome::Run;
}

std::optional<int> finishWithoutRunning(const OptionsOutcome &outcome)
{
    const QByteArray name = QCoreApplication::applicationName().toUtf8();
    switch (outcome.action) {
    case OptionsOutcome::ShowHelp:
        std::fputs(outcome.text.toUtf8().constData(), stdout);
        return 0;
    case OptionsOutcome::ShowVersion:
        std::printf("%s %s\n", name.constData(), QCoreApplication::applicationVersion().toUtf8().constData());
        return 0;
    case OptionsOutcome::Fail:
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", name.constData(), outcome.text.toUtf8().constData(),
                     name.constData());
        return badOptionsExit;
    case OptionsOutcome::Run:
        break;
    }
    return std::nullopt;
}

std::optional<int> boundedInt(const QString &text, int lowest, int highest)
{
    bool ok = false;
    const int parsed = text.toInt(&ok);
    if (!ok || parsed < lowest || parsed > highest)
        return std::nullopt;
    return parsed;
}
