#include "publisher.h"

#include "complaint.h"
#include "readingsource.h"

#include <QTimer>

#include <algorithm>

Publisher::Publisher(ReadingSource &source, QObject *parent, Clock clock)
    : QObject(parent)
    , source_(source)
    , clock_(std::move(clock))
    , timer_(new QTimer(this))
{
    elapsed_.start();
    if (!clock_)
        clock_ = [this] { return elapsed_.elapsed(); };
    QObject::connect(timer_, SIGNAL(timeout()), this, SLOT(publish()));
}

section::OpenResult Publisher::open(const std::string &sectionName)
{
    const section::OpenResult result =
        writer_.open(sectionName, source_.sensorCapacity(), source_.readingCapacity());
    if (!result.isOpen())
        return result;
    // Taken over: a reader may still show what the earlier publisher wrote.
    publishedSensors_ = writer_.currentSensors();
    publishedReadings_ = writer_.currentReadings();
    if (result.outcome == section::OpenOutcome::Reused)
        gate_.setEarlier(writer_.readingsInPlace(writer_.readingCapacity()), clock_());
    publish();
    return result;
}

void Publisher::close()
{
    timer_->stop();
    writer_.remove();
}

void Publisher::start(int milliseconds)
{
    timer_->start(milliseconds);
}

void Publisher::publish()
{
    std::vector<std::string> sensors = source_.sensors();
    std::vector<section::ReadingRecord> readings = source_.refresh();
    if (!writer_.isOpen())
        return;
    if (sensors.size() > writer_.sensorCapacity() || readings.size() > writer_.readingCapacity()) {
        // The section cannot grow under a reader; publish what fits.
        if (!warnedAboutCapacity_)
            complain(QStringLiteral("more sensors or readings than the section holds; "
                                    "publishing the first %1 sensors and %2 readings")
                         .arg(writer_.sensorCapacity())
                         .arg(writer_.readingCapacity()));
        warnedAboutCapacity_ = true;
        sensors.resize(std::min(sensors.size(), writer_.sensorCapacity()));
        readings.resize(std::min(readings.size(), writer_.readingCapacity()));
    }

    readings = gate_.admit(publishedReadings_, readings, clock_());
    if (sensors != publishedSensors_) {
        (void)writer_.setSensors(sensors); // fits: cut to the capacity above
        publishedSensors_ = sensors;
    }
    if (sameCatalogue(readings, publishedReadings_)) {
        for (std::size_t r = 0; r < readings.size(); ++r)
            (void)writer_.setValue(r, readings[r].value);
    } else {
        (void)writer_.setReadings(readings);
    }
    publishedReadings_ = std::move(readings);
}
