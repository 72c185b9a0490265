#include "publisher.h"

#include "readingsource.h"

#include <QTimer>

#include <algorithm>
#include <cstdio>

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
            std::fprintf(stderr, "telvane-publish: more sensors or readings than the section holds; "
                                 "publishing the first %zu sensors and %zu readings\n",
                         writer_.sensorCapacity(), writer_.readingCapacity());
        warnedAboutCapacity_ = true;
        sensors.resize(std::min(sensors.size(), writer_.sensorCapacity()));
        readings.resize(std::min(readings.size(), writer_.readingCapacity()));
    }

    if (sensors != publishedSensors_) {
        (void)writer_.setSensors(sensors); // fits: cut to the capacity above
        publishedSensors_ = sensors;
    }
    if (sameReadings(readings)) {
        for (std::size_t r = 0; r < readings.size(); ++r)
            (void)writer_.setValue(r, readings[r].value);
    } else {
        (void)writer_.setReadings(readings);
    }
    publishedReadings_ = std::move(readings);
}

bool Publisher::sameReadings(const std::vector<section::ReadingRecord> &readings) const
{
    return std::equal(readings.begin(), readings.end(), publishedReadings_.begin(), publishedReadings_.end(),
                      [](const section::ReadingRecord &a, const section::ReadingRecord &b) {
                          return a.sensorIndex == b.sensorIndex && a.label == b.label && a.unit == b.unit;
                      });
}
