#include "publisher.h"

#include "complaint.h"
#include "readingsource.h"

#include <QTimer>

#include <algorithm>

Publisher::Publisher(ReadingSource &source, QObject *parent)
    : QObject(parent)
    , source_(source)
    , timer_(new QTimer(this))
{
    QObject::connect(timer_, SIGNAL(timeout()), this, SLOT(publish()));
}

bool Publisher::open(const std::string &sectionName, std::string *error)
{
    if (!writer_.create(sectionName, source_.sensorCapacity(), source_.readingCapacity(), error))
        return false;
    publish();
    return true;
}

void Publisher::start(int milliseconds)
{
    timer_->start(milliseconds);
}

void Publisher::publish()
{
    std::vector<std::string> sensors = source_.sensors();
    std::vector<section::ReadingRecord> readings = source_.refresh();
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
