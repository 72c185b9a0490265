#pragma once

#include <QHash>
#include <QString>
#include <QVector>

#include <array>
#include <limits>
#include <optional>

// A reading's limits, in the order of limitKindNames(); NaN where none is set,
// so that every comparison with an unset limit is false.
constexpr int limitKinds = 4;
using ReadingLimits = std::array<double, limitKinds>;
enum LimitKind { WarnAbove, CriticalAbove, WarnBelow, CriticalBelow };

[[nodiscard]] constexpr ReadingLimits noLimits()
{
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    return {none, none, none, none};
}
// "warn_above", "critical_above", "warn_below", "critical_below": the config's
// keys, the JSON's and the kind label of telvane_reading_limit.
[[nodiscard]] const char *limitKindName(int kind);

// Beyond a limit means strictly above or below it. A value that is not a
// number is beyond none (infinities are beyond whatever limit they pass).
enum class ReadingState { Ok, Warning, Critical };
[[nodiscard]] ReadingState readingState(double value, const ReadingLimits &limits);
[[nodiscard]] const char *readingStateName(ReadingState state);

// One entry of the config's `readings`: what it sets, and what it leaves be.
struct ReadingRule
{
    QString match; // a label exactly, or a hash in lower case
    std::optional<QString> name;
    std::optional<bool> hide;
    ReadingLimits limits = noLimits();
};

// What the rules make of one reading.
struct RuleOutcome
{
    QString name; // empty: the monitor's label stands
    bool hidden = false;
    ReadingLimits limits = noLimits();
};

// The rules of a config, looked up by label and hash: a reading costs two
// lookups, however many rules there are.
class ReadingRules
{
public:
    ReadingRules() = default;
    explicit ReadingRules(const QVector<ReadingRule> &rules);

    // The rules that match, applied in their order: a later rule overrides
    // what an earlier one set, and leaves the rest.
    [[nodiscard]] RuleOutcome apply(const QString &hash, const QString &label) const;

private:
    QVector<ReadingRule> rules_;
    QHash<QString, QVector<int>> byMatch_; // positions in rules_, ascending
};
