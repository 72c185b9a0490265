#include "readingrules.h"

#include <algorithm>
#include <cmath>

const char *limitKindName(int kind)
{
    static const char *const names[limitKinds] = {"warn_above", "critical_above", "warn_below", "critical_below"};
    return names[kind];
}

ReadingState readingState(double value, const ReadingLimits &limits)
{
    if (value > limits[CriticalAbove] || value < limits[CriticalBelow])
        return ReadingState::Critical;
    if (value > limits[WarnAbove] || value < limits[WarnBelow])
        return ReadingState::Warning;
    return ReadingState::Ok;
}

const char *readingStateName(ReadingState state)
{
    switch (state) {
    case ReadingState::Warning:
        return "warning";
    case ReadingState::Critical:
        return "critical";
    case ReadingState::Ok:
        break;
    }
    return "ok";
}

ReadingRules::ReadingRules(const QVector<ReadingRule> &rules)
    : rules_(rules)
{
    for (int i = 0; i < rules_.size(); ++i)
        byMatch_[rules_.at(i).match].append(i);
}

RuleOutcome ReadingRules::apply(const QString &hash, const QString &label) const
{
    RuleOutcome outcome;
    if (rules_.isEmpty())
        return outcome;
    QVector<int> matching = byMatch_.value(label);
    if (hash != label)
        matching += byMatch_.value(hash);
    std::sort(matching.begin(), matching.end());
    for (const int position : qAsConst(matching)) {
        const ReadingRule &rule = rules_.at(position);
        if (rule.name)
            outcome.name = *rule.name;
        if (rule.hide)
            outcome.hidden = *rule.hide;
        for (int kind = 0; kind < limitKinds; ++kind) {
            if (!std::isnan(rule.limits[kind]))
                outcome.limits[kind] = rule.limits[kind];
        }
    }
    return outcome;
}
