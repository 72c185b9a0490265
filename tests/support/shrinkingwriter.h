#pragma once

// Another writer's hand on a POSIX section: resizing the object through a
// descriptor of its own, and flipping it between its full size and one page.

#include "sectionwriter.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

inline bool resizeSection(const std::string &name, long long size)
{
#ifdef _WIN32
    (void)name;
    (void)size;
    return false;
#else
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0)
        return false;
    const bool resized = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return resized;
#endif
}

// From construction until stop(), shrinks the writer's section to one page and
// grows it back every 2 ms, writing the readings again after each regrowth (a
// regrown object holds zero bytes past the page). Stopped, the section is
// whole again.
class ShrinkFlipper
{
public:
    ShrinkFlipper(section::Writer &writer, const std::string &name, std::vector<section::ReadingRecord> readings)
        : thread([this, &writer, name, readings = std::move(readings)] {
            while (!stopping) {
                resizeSection(name, 4096);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                resizeSection(name, static_cast<long long>(writer.size()));
                (void)writer.setReadings(readings);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                ++flipCount;
            }
        })
    {
    }
    ShrinkFlipper(const ShrinkFlipper &) = delete;
    ShrinkFlipper &operator=(const ShrinkFlipper &) = delete;
    ~ShrinkFlipper() { stop(); }

    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
    }
    [[nodiscard]] int flips() const { return flipCount; }

private:
    std::atomic<bool> stopping{false};
    std::atomic<int> flipCount{0};
    std::thread thread;
};
