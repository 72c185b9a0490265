// The writer's side of the section on Windows: a named file mapping, and a
// named mutex that tells a live writer's section from a leftover.
#include "sectionwriter.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <optional>
#include <string>

namespace section {

namespace {

// The process that holds the section, as it wrote itself into the header;
// 0 when it cannot be told.
std::int64_t writerPidOf(const std::wstring &name)
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (!mapping)
        return 0;
    const void *header = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, headerSize);
    std::uint32_t pid = 0;
    if (header) {
        pid = Writer::writerPidIn(header);
        UnmapViewOfFile(header);
    }
    CloseHandle(mapping);
    return pid;
}

} // namespace

OpenResult Writer::openSized(const std::string &name, std::size_t sensorCapacity, std::size_t readingCapacity,
                             const std::size_t *size)
{
    OpenResult result;
    // A Windows section lives as long as any handle to it, so a reader (Telvane)
    // keeps a dead writer's section alive. A named mutex, which only writers
    // open and which goes with its writer's last handle, tells a live writer's
    // section from such a leftover.
    const std::wstring wide(name.begin(), name.end());
    HANDLE owner = CreateMutexW(nullptr, FALSE, (wide + L".writer").c_str());
    if (!owner) {
        result.message = "CreateMutexW failed with error " + std::to_string(GetLastError());
        return result;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(owner);
        result.outcome = OpenOutcome::HeldByProcess;
        result.ownerPid = writerPidOf(wide);
        result.message = "the section " + name + " is already published by "
            + (result.ownerPid > 0 ? "process " + std::to_string(result.ownerPid) : std::string("another program"));
        return result;
    }
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(std::uint64_t(*size) >> 32),
                                        static_cast<DWORD>(*size & 0xffffffffu), wide.c_str());
    if (!mapping) {
        const DWORD code = GetLastError();
        CloseHandle(owner);
        result.outcome = code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_COMMITMENT_LIMIT ? OpenOutcome::NoSpace
                                                                                            : OpenOutcome::Failed;
        result.message = "CreateFileMappingW failed with error " + std::to_string(code);
        return result;
    }
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    // A section that exists keeps the size it was made with, whatever we ask
    // for, and cannot grow under its readers.
    void *base = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    MEMORY_BASIC_INFORMATION info{};
    const std::size_t available = base && VirtualQuery(base, &info, sizeof info) != 0 ? info.RegionSize : 0;
    if (!base || available < *size) {
        result.message = !base ? "MapViewOfFile failed with error " + std::to_string(GetLastError())
                               : "the section " + name + " left by an earlier writer holds " + std::to_string(available)
                                     + " bytes, fewer than the " + std::to_string(*size)
                                     + " needed; close the programs that read it and start again";
        if (base)
            UnmapViewOfFile(base);
        CloseHandle(mapping);
        CloseHandle(owner);
        return result;
    }
    mapping_ = mapping;
    owner_ = owner;
    result.outcome = take(name, base, *size, sensorCapacity, readingCapacity, created,
                          std::uint32_t(GetCurrentProcessId()));
    return result;
}

void Writer::close()
{
    UnmapViewOfFile(base_);
    CloseHandle(mapping_);
    mapping_ = nullptr;
    CloseHandle(owner_); // the next writer may take the section now
    owner_ = nullptr;
}

} // namespace section
