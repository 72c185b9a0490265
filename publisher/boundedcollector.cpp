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
    Read read;
    bool hasRead = false; // a read is waiting for the thread
    bool busy = false;    // handed over and not yet back
    bool quit = false;
    std::optional<SensorSample> result;
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
        worker->result = std::move(sample);
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

std::vector<std::optional<SensorSample>> BoundedCollector::run(const std::vector<Task> &tasks)
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
            continue; // still stuck in an earlier read
        worker.read = tasks[i].read;
        worker.hasRead = true;
        worker.busy = true;
        worker.result.reset();
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
    shared_->changed.wait_for(lock, deadline_, allBack);
    for (std::size_t i : started) {
        Worker &worker = *workers_.at(tasks[i].key).worker;
        if (!worker.busy)
            results[i] = std::move(worker.result);
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
