#pragma once

#include "sensorsample.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// Runs reads that may be slow or hang (a driver stuck in a sysfs read blocks
// the reading thread for good, and no signal gets it out) each on a thread of
// its own, one thread per key, and waits for them only until a deadline. A
// read that misses it goes on in the background, and its key gives the latest
// sample that came back, so a chip slower than the deadline is still
// published; while a read is out, its key gets no new one, so a stuck chip
// costs one thread and never more. A read out for longer than staleAfter
// counts as stuck: its key gives nothing until it is back. A thread that never
// comes back is left behind when we go.
class BoundedCollector
{
public:
    using Read = std::function<SensorSample()>;
    struct Task
    {
        QString key; // what is read, e.g. the chip's folder
        Read read;
    };

    static constexpr std::chrono::seconds staleAfter{10};

    explicit BoundedCollector(std::chrono::milliseconds deadline);
    BoundedCollector(const BoundedCollector &) = delete;
    BoundedCollector &operator=(const BoundedCollector &) = delete;
    ~BoundedCollector();

    // The latest sample of each task's key, in order: nothing for a key that
    // never came back yet, or is stuck. Waits for the reads started until the
    // deadline, or `wait` when given. Threads of keys not among the tasks are ended.
    [[nodiscard]] std::vector<std::optional<SensorSample>> run(const std::vector<Task> &tasks,
                                                               std::optional<std::chrono::milliseconds> wait = {});
    // Reads slower than the deadline, for telling the user: the sensor each
    // such key found, or the key and "(no answer yet)" while its read is out.
    [[nodiscard]] QStringList slowReads() const;

    // Reads that have not come back (so far), also of threads let go.
    [[nodiscard]] std::size_t hanging() const;
    [[nodiscard]] std::size_t threads() const { return workers_.size(); }

private:
    struct Shared;
    struct Worker;
    struct Entry
    {
        std::shared_ptr<Worker> worker;
        std::thread thread;
    };

    static void serve(std::shared_ptr<Shared> shared, std::shared_ptr<Worker> worker);
    void retire(std::map<QString, Entry>::iterator entry, std::vector<std::thread> *toJoin);

    std::chrono::milliseconds deadline_;
    std::shared_ptr<Shared> shared_;
    std::map<QString, Entry> workers_;
    std::size_t abandoned_ = 0; // threads let go while stuck
};
