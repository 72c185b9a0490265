#include "boundedcollector.h"

#include <condition_variable>
#include <mutex>
#include <set>

// One lock for the collector and all its workers: they only hand over jobs
// and results under it, never read under it.
struct BoundedCollector::Shared
{
    std::mutex mutex;
    std::condition_variable changed;
};

struct BoundedCollector::Worker
{
    using Clock = std::chrono::steady_clock;

    Read read;
    bool hasRead = false; // a read is waiting for the thread
    bool busy = false;    // handed over and not yet back
    bool quit = false;
    std::optional<SensorSample> latest; // of the last read that came back
    Clock::time_point startedAt;
    Clock::duration took{};             // by the last read that came back

    [[nodiscard]] bool stuck() const { return busy && Clock::now() - startedAt > staleAfter; }
};

// The thread's life: wait for a read, do it without the lock, hand back.
void BoundedCollector::serve(std::shared_ptr<Shared> shared, std::shared_ptr<Worker> worker)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return worker->quit || worker->hasRead; });
        if (!worker->hasRead)
            return;
        BoundedCollector::Read read = std::move(worker->read);
        worker->hasRead = false;
        lock.unlock();
        SensorSample sample = read();
        lock.lock();
        worker->latest = std::move(sample);
        worker->took = Worker::Clock::now() - worker->startedAt;
        worker->busy = false;
        shared->changed.notify_all();
    }
}

BoundedCollector::BoundedCollector(std::chrono::milliseconds deadline)
    : deadline_(deadline)
    , shared_(std::make_shared<Shared>())
{
}

BoundedCollector::~BoundedCollector()
{
    std::vector<std::thread> toJoin;
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        while (!workers_.empty())
            retire(workers_.begin(), &toJoin);
        shared_->changed.notify_all();
    }
    for (std::thread &thread : toJoin)
        thread.join();
}

// Under the lock. An idle thread is joined (after the lock is let go); one
// that hangs is let go, and ends by itself if its read ever returns.
void BoundedCollector::retire(std::map<QString, Entry>::iterator entry, std::vector<std::thread> *toJoin)
{
    entry->second.worker->quit = true;
    if (entry->second.worker->busy) {
        entry->second.thread.detach();
        ++abandoned_;
    } else
        toJoin->push_back(std::move(entry->second.thread));
    workers_.erase(entry);
}

std::vector<std::optional<SensorSample>> BoundedCollector::run(const std::vector<Task> &tasks,
                                                               std::optional<std::chrono::milliseconds> wait)
{
    std::vector<std::optional<SensorSample>> results(tasks.size());
    std::vector<std::size_t> started;
    std::vector<std::thread> toJoin;
    std::unique_lock<std::mutex> lock(shared_->mutex);
    std::set<QString> keys;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (!keys.insert(tasks[i].key).second)
            continue; // one read per key and run
        auto found = workers_.find(tasks[i].key);
        if (found == workers_.end()) {
            auto worker = std::make_shared<Worker>();
            std::thread thread(serve, shared_, worker);
            found = workers_.emplace(tasks[i].key, Entry{std::move(worker), std::move(thread)}).first;
        }
        Worker &worker = *found->second.worker;
        if (worker.busy)
            continue; // still in an earlier read
        worker.read = tasks[i].read;
        worker.hasRead = true;
        worker.busy = true;
        worker.startedAt = Worker::Clock::now();
        started.push_back(i);
    }
    shared_->changed.notify_all();
    const auto allBack = [&] {
        for (std::size_t i : started) {
            if (workers_.at(tasks[i].key).worker->busy)
                return false;
        }
        return true;
    };
    shared_->changed.wait_for(lock, wait.value_or(deadline_), allBack);
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const Worker &worker = *workers_.at(tasks[i].key).worker;
        if (!worker.stuck())
            results[i] = worker.latest;
    }
    for (auto it = workers_.begin(); it != workers_.end();) {
        const auto next = std::next(it);
        if (keys.count(it->first) == 0)
            retire(it, &toJoin);
        it = next;
    }
    shared_->changed.notify_all();
    lock.unlock();
    for (std::thread &thread : toJoin)
        thread.join();
    return results;
}

std::size_t BoundedCollector::hanging() const
{
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    std::size_t count = abandoned_;
    for (const auto &entry : workers_)
        count += entry.second.worker->busy ? 1 : 0;
    return count;
}

QStringList BoundedCollector::slowReads() const
{
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    QStringList slow;
    for (const auto &[key, entry] : workers_) {
        const Worker &worker = *entry.worker;
        if (worker.busy && Worker::Clock::now() - worker.startedAt > deadline_)
            slow << key + QStringLiteral(" (no answer yet)");
        else if (worker.took > deadline_ && worker.latest)
            slow << (worker.latest->sensors.isEmpty() ? key : worker.latest->sensors.constFirst());
    }
    return slow;
}
