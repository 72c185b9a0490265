#pragma once

#include "sensorsample.h"

#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// Runs reads that may hang (a driver stuck in a sysfs read blocks the reading
// thread for good, and no signal gets it out) each on a thread of its own, one
// thread per key, and waits for them only until a deadline. A read that
// misses it gives nothing this time; while it still hangs, its key gets no new
// read, so a stuck chip costs one thread and never more. A thread that never
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

    explicit BoundedCollector(std::chrono::milliseconds deadline);
    BoundedCollector(const BoundedCollector &) = delete;
    BoundedCollector &operator=(const BoundedCollector &) = delete;
    ~BoundedCollector();

    // The result of each task, in order: nothing for one that missed the
    // deadline or whose key still hangs since an earlier run. Threads of keys
    // not among the tasks are ended.
    [[nodiscard]] std::vector<std::optional<SensorSample>> run(const std::vector<Task> &tasks);

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
