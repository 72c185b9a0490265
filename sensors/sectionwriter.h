#pragma once

// Creates and fills a section in the monitor's layout. Used by the tests and
// our tools (telvane-publish), never by Telvane itself. Plain C++ without Qt.
//
// The section is sized for the capacities given to open() and never shrinks
// while it exists: a reader maps it once and must never lose a page under it.
// New elements are written before a count is raised, so a reader never sees a
// count that covers unwritten elements.
//
// On POSIX systems the writer holds an flock on the object while it is open,
// so a second writer learns that the section is taken (and by which process)
// instead of writing over it. An unlocked object of our own user was left by a
// writer that is gone: it is reused in place, so a reader that still maps it
// sees the new readings at once. On Windows a reader's handle keeps a section
// alive after its writer has gone; a named mutex that only live writers hold
// (the section's name followed by ".writer") tells such a leftover, which is
// reused, from a live writer's section.

#include "sectionaccess.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace section {

// Fixed layout written by this writer (readers take offsets from the header).
inline constexpr std::size_t headerSize = 44;
inline constexpr std::size_t sensorElementSize = 8 + 128;  // 8 unread bytes + name
inline constexpr std::size_t readingElementSize = 292;     // up to the end of the value
inline constexpr std::size_t maximumLabelBytes = 255;      // plus its zero byte
inline constexpr std::size_t maximumUnitBytes = 15;        // plus its zero byte
inline constexpr std::size_t maximumSensorNameBytes = 127; // plus its zero byte

struct ReadingRecord
{
    std::int32_t sensorIndex = 0;
    std::string label; // Latin-1 bytes; cut to maximumLabelBytes
    std::string unit;  // Latin-1 bytes; cut to maximumUnitBytes
    double value = 0.0;
};

// How open() went.
enum class OpenOutcome {
    Created,          // a new section
    Reused,           // one left behind by a writer that is gone, kept for its readers
    HeldByProcess,    // another writer publishes it right now (ownerPid, 0 when unknown)
    OwnedByOtherUser, // the name belongs to another user (ownerUid)
    NotASection,      // a FIFO, a folder, a link... of user ownerUid has the name
    NoSpace,          // the system cannot hold a section of that size
    Failed,           // anything else; see message
};

struct OpenResult
{
    OpenOutcome outcome = OpenOutcome::Failed;
    std::int64_t ownerPid = 0;
    std::uint32_t ownerUid = 0;
    std::string message; // for people, empty when the section is open
    [[nodiscard]] bool isOpen() const { return outcome == OpenOutcome::Created || outcome == OpenOutcome::Reused; }
};

class Writer
{
public:
    Writer() = default;
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    ~Writer(); // removes the section

    // Opens the section under `name` (POSIX shm name like "/x", or a Windows
    // mapping name) for writing, sized for at least the given capacities.
    // A new section has counts 0. A reused one keeps its elements and counts
    // when its layout already fits (see currentReadings), otherwise its
    // counts are set to 0 first; it grows when too small and never shrinks.
    // A Windows section is reused the same way, but never grows: one too
    // small fails. Nothing is left behind when the section cannot be opened.
    [[nodiscard]] OpenResult open(const std::string &name, std::size_t sensorCapacity, std::size_t readingCapacity);
    // open(), then counts 0 whatever was found; for tests and tools that
    // start from an empty section. On failure says why in *error.
    [[nodiscard]] bool create(const std::string &name, std::size_t sensorCapacity,
                              std::size_t readingCapacity, std::string *error = nullptr);
    [[nodiscard]] bool isOpen() const { return base_ != nullptr; }

    // The readings and sensor names the section holds now (values included):
    // after a reuse, what the earlier writer left for the readers.
    [[nodiscard]] std::vector<ReadingRecord> currentReadings() const;
    [[nodiscard]] std::vector<std::string> currentSensors() const;
    // The first `count` reading elements as they lie in the section (at most
    // the capacity), whatever the reading count says.
    [[nodiscard]] std::vector<ReadingRecord> readingsInPlace(std::size_t count) const;

    // Writes the sensor names (UTF-8) and then sets the sensor count.
    // False when they exceed the capacity (nothing is written then).
    [[nodiscard]] bool setSensors(const std::vector<std::string> &names);
    // Writes the readings' elements and then sets the reading count.
    // False when they exceed the capacity (nothing is written then).
    [[nodiscard]] bool setReadings(const std::vector<ReadingRecord> &readings);
    // Rewrites one value in place; false for an index at or past the count.
    [[nodiscard]] bool setValue(std::size_t index, double value);

    // Raw access for tests that need hostile headers: writes `bytes` at
    // `offset` of the section, false when they do not fit.
    [[nodiscard]] bool writeRaw(std::size_t offset, const void *bytes, std::size_t length);
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::size_t sensorCapacity() const { return sensorCapacity_; }
    [[nodiscard]] std::size_t readingCapacity() const { return readingCapacity_; }

    // Sets both counts to 0, so that a reader still mapping the section shows
    // nothing stale, and removes the section now (also done by the
    // destructor). A POSIX name is unlinked only while it is still this
    // writer's object, never one that another writer made since.
    void remove();

    // The process id that a writer left in a section's header (at least its
    // first headerSize bytes), so that a second writer can say whom it found.
    [[nodiscard]] static std::uint32_t writerPidIn(const void *header);

private:
    // The platform's part of open(), for a section of *size bytes.
    [[nodiscard]] OpenResult openSized(const std::string &name, std::size_t sensorCapacity,
                                       std::size_t readingCapacity, const std::size_t *size);
    [[nodiscard]] std::size_t readingSectionStart() const;
    [[nodiscard]] unsigned char *readingElement(std::size_t index) const;
    [[nodiscard]] OpenOutcome take(const std::string &name, void *base, std::size_t size, std::size_t sensorCapacity,
                                   std::size_t readingCapacity, bool created, std::uint32_t writerPid);
    [[nodiscard]] bool layoutFits() const;
    void writeLayout();
    void close();

    std::string name_;
    unsigned char *base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t sensorCapacity_ = 0;
    std::size_t readingCapacity_ = 0;
    std::uint32_t readingCount_ = 0;
#ifdef _WIN32
    void *mapping_ = nullptr;
    void *owner_ = nullptr; // named mutex that marks this writer live
#else
    int fd_ = -1; // kept open: it holds the lock
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
#endif
};

} // namespace section
