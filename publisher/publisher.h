#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cataloguegate.h"
#include "sectionwriter.h"

class QTimer;
class ReadingSource;

// Publishes a reading source's readings into a section, once per interval:
// values are rewritten in place, and elements only when the source's list of
// readings changed, through the catalogue gate. The section is sized once, for
// the source's capacities; one left by an earlier publisher is taken over, and
// its readers see our readings from the first refresh on.
class Publisher : public QObject
{
    Q_OBJECT

public:
    using Clock = std::function<std::int64_t()>; // monotonic milliseconds

    explicit Publisher(ReadingSource &source, QObject *parent = nullptr, Clock clock = {});

    // Opens the section and publishes the first refresh.
    [[nodiscard]] section::OpenResult open(const std::string &sectionName);
    // Stops writing: counts 0 for readers that still map the section, which
    // is removed while it is still ours.
    void close();
    // Refreshes every `milliseconds` from now on.
    void start(int milliseconds);

    [[nodiscard]] std::size_t sensorCount() const { return publishedSensors_.size(); }
    [[nodiscard]] std::size_t readingCount() const { return publishedReadings_.size(); }

public slots:
    // One refresh of the source, written into the section.
    void publish();

private:
    ReadingSource &source_;
    section::Writer writer_;
    CatalogueGate gate_;
    Clock clock_;
    QElapsedTimer elapsed_;
    QTimer *timer_;
    std::vector<std::string> publishedSensors_;
    std::vector<section::ReadingRecord> publishedReadings_;
    bool warnedAboutCapacity_ = false;
};
