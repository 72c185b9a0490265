#pragma once

#include <QObject>

#include <string>
#include <vector>

#include "sectionwriter.h"

class QTimer;
class ReadingSource;

// Publishes a reading source's readings into a section, once per interval:
// values are rewritten in place, and elements only when the source's list of
// readings changed. The section is sized once, for the source's capacities.
class Publisher : public QObject
{
    Q_OBJECT

public:
    explicit Publisher(ReadingSource &source, QObject *parent = nullptr);

    // Creates the section and publishes the first refresh; on failure says why in *error.
    [[nodiscard]] bool open(const std::string &sectionName, std::string *error);
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
    QTimer *timer_;
    std::vector<std::string> publishedSensors_;
    std::vector<section::ReadingRecord> publishedReadings_;
    bool warnedAboutCapacity_ = false;
};
