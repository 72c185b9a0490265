// Runs the section layer's Windows code for real (built with MinGW-w64, run
// under Wine or on Windows): this program publishes a section with the
// section writer, then starts itself a second time as the reader, which opens
// and maps it read-only through the same calls Telvane makes and checks what it
// reads. A second round gives the reader a hostile header.
//
//   sectionpath [NAME]        the whole check; NAME defaults to the product's
//   sectionpath --read NAME   reader side, started by the check itself
//   sectionpath --hostile NAME

#include "sectionaccess.h"
#include "sectioncopy.h"
#include "sectionwriter.h"
#include "sharedmemoryrecords.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string &what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    if (!ok)
        ++failures;
}

// Chosen so that the writer's section is exactly three pages: the view then
// ends where the section ends, and a text running to the end of the section
// runs to the end of the view.
constexpr std::size_t sensorCapacity = 2;
constexpr std::size_t readingCapacity = 41;

const std::vector<std::string> sensorNames = {"Motherboard", "CPU [#0]: Demo Processor"};

std::vector<section::ReadingRecord> readings()
{
    return {
        {0, "System Fan", "RPM", 1180.0},
        {1, "CPU Package", "\xB0" "C", 53.25},
        {1, "Core Clock", "MHz", 4389.7},
    };
}

void putUint32(section::Writer &writer, std::size_t offset, std::uint32_t value)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    check(writer.writeRaw(offset, bytes, sizeof bytes), "writer writes header field at " + std::to_string(offset));
}

// The reader as Telvane is: open, map, and keep both for the process's life.
bool openAndMap(const std::string &name, section::Handle *handle, section::View *view)
{
    *handle = section::openReadOnly(name);
    check(*handle != section::noHandle, "OpenFileMappingW opens " + name);
    if (*handle == section::noHandle)
        return false;
    *view = section::mapWhole(*handle);
    check(view->data != nullptr && view->size > 0, "MapViewOfFile maps it, view of " + std::to_string(view->size) + " bytes");
    if (!view->data)
        return false;
    MEMORY_BASIC_INFORMATION info{};
    check(VirtualQuery(view->data, &info, sizeof info) != 0 && info.Protect == PAGE_READONLY, "the view is read-only");
    check(section::readableSize(*handle, *view) == view->size, "the whole view is readable");
    return true;
}

int readerSide(const std::string &name)
{
    section::Handle handle;
    section::View view;
    if (!openAndMap(name, &handle, &view))
        return 1;
    check(view.size >= section::headerSize + sensorCapacity * section::sensorElementSize
                           + readingCapacity * section::readingElementSize,
          "the view covers the whole section");

    const section::SharedMemoryHeader header(view);
    check(header.sensorCount() == sensorNames.size(), "sensor count");
    check(header.readingCount() == readings().size(), "reading count");
    check(header.readingElementSize() >= section::ReadingElement::minimumSize, "reading element size");
    for (std::uint32_t s = 0; s < sensorNames.size(); ++s) {
        const auto sensor = header.sensor(s);
        check(sensor && sensor->sensorName() == sensorNames[s], "sensor name " + sensorNames[s]);
    }
    for (std::uint32_t r = 0; r < readings().size(); ++r) {
        const auto expected = readings()[r];
        const auto reading = header.reading(r);
        check(reading.has_value(), "reading " + std::to_string(r) + " is inside the view");
        if (!reading)
            continue;
        check(reading->sensorIndex() == expected.sensorIndex, "sensor index of " + expected.label);
        check(reading->label() == expected.label, "label " + expected.label);
        check(reading->unit() == expected.unit, "unit of " + expected.label);
        check(reading->value() == expected.value, "value of " + expected.label);
    }

    // The same fields straight from the bytes: the unit's degree sign is the
    // single Latin-1 byte B0, and the value sits unaligned at offset 284.
    const unsigned char *element = view.data + header.readingSectionOffset() + header.readingElementSize();
    check(element[268] == 0xB0 && element[269] == 'C' && element[270] == 0, "unit bytes B0 43 00 at offset 268");
    double value;
    std::memcpy(&value, element + 284, sizeof value);
    check(value == 53.25, "little-endian double 53.25 at offset 284");
    check((reinterpret_cast<std::uintptr_t>(element + 284) % 8) != 0, "the value is not 8-byte aligned");
    check(header.reading(static_cast<std::uint32_t>(readings().size())) == std::nullopt, "no reading past the count");

    // What a build or a tick reads: a copy of the readings, taken from the view.
    section::SectionCopy copy;
    const section::SharedMemoryHeader copied(copy.readings(handle, view));
    std::size_t same = 0;
    for (std::uint32_t r = 0; const auto reading = copied.reading(r); ++r) {
        if (r < readings().size() && reading->label() == readings()[r].label && reading->value() == readings()[r].value)
            ++same;
    }
    check(same == readings().size() && copied.readingCount() == readings().size(), "a copy holds every reading");
    check(!section::isRemoved(handle), "a Windows section keeps its name while open");
    return failures == 0 ? 0 : 1;
}

// The header now claims four billion readings, a sensor name running to the
// section's end; a crash (access violation) here is the failure that matters.
int hostileSide(const std::string &name)
{
    section::Handle handle;
    section::View view;
    if (!openAndMap(name, &handle, &view))
        return 1;
    const section::SharedMemoryHeader header(view);
    check(header.readingCount() == 0xFFFFFFFFu, "hostile reading count");

    std::uint32_t readable = 0;
    for (std::uint32_t r = 0; r < header.readingCount(); ++r) {
        const auto reading = header.reading(r);
        if (!reading)
            break;
        (void)reading->label().size();
        (void)reading->unit().size();
        (void)reading->value();
        ++readable;
    }
    const std::size_t fit = (view.size - header.readingSectionOffset()) / section::ReadingElement::minimumSize;
    check(readable == fit, "reads stop at the view's end: " + std::to_string(readable) + " readings of "
                               + std::to_string(fit) + " that fit");

    const auto sensor = header.sensor(0);
    check(sensor && sensor->sensorName() == std::string(20, 'x'), "a name without zero byte stops at the view's end");
    return failures == 0 ? 0 : 1;
}

// Starts this program again with the given arguments and returns its exit code.
int runSelf(const std::string &arguments)
{
    wchar_t path[MAX_PATH];
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0)
        return -1;
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\" " + std::wstring(arguments.begin(), arguments.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

int wholeCheck(const std::string &name)
{
    const section::Handle absent = section::openReadOnly(name);
    check(absent == section::noHandle, "no section: OpenFileMappingW fails for " + name);
    check(section::mapWhole(section::noHandle).data == nullptr, "no section: nothing is mapped");
    if (absent != section::noHandle)
        return 1; // someone else publishes it; do not write over theirs

    section::Writer writer;
    std::string error;
    const bool created = writer.create(name, sensorCapacity, readingCapacity, &error);
    check(created, "writer creates " + name + (created ? "" : ": " + error));
    if (!created)
        return 1;
    check(writer.size() % 4096 == 0, "the section is " + std::to_string(writer.size()) + " bytes, whole pages");
    check(writer.setSensors(sensorNames), "writer writes the sensors");
    check(writer.setReadings(readings()), "writer writes the readings");
    check(runSelf("--read " + name) == 0, "reader process reads what the writer wrote");

    const std::size_t nameAt = writer.size() - 20;
    const std::string noZero(20, 'x');
    check(writer.writeRaw(nameAt, noZero.data(), noZero.size()), "writer writes a name up to the end");
    putUint32(writer, 20, static_cast<std::uint32_t>(nameAt - section::SensorElement::nameOffset));
    putUint32(writer, 40, 0xFFFFFFFFu);
    check(runSelf("--hostile " + name) == 0, "reader process survives a hostile header, stride 292");
    putUint32(writer, 36, 0);
    check(runSelf("--hostile " + name) == 0, "reader process survives a hostile header, stride 0");

    writer.remove();
    check(section::openReadOnly(name) == section::noHandle, "once removed, the open fails again");
    return failures == 0 ? 0 : 1;
}

// A reader that holds the section keeps it alive when its writer goes, as
// Telvane does when the publisher is restarted: the next writer takes the
// section over, but never while its writer lives, nor when it is too small.
int restartCheck(const std::string &name)
{
    std::string error;
    auto first = std::make_unique<section::Writer>();
    check(first->create(name, sensorCapacity, readingCapacity, &error), "first writer creates " + name + " " + error);
    check(first->setSensors(sensorNames) && first->setReadings(readings()), "first writer writes");
    const section::Handle handle = section::openReadOnly(name);
    const section::View view = section::mapWhole(handle);
    check(view.data != nullptr, "a reader holds the section");
    if (!view.data)
        return 1;

    section::Writer second;
    error.clear();
    check(!second.create(name, sensorCapacity, readingCapacity, &error)
              && error.find("is already published by process " + std::to_string(GetCurrentProcessId())) != std::string::npos,
          "while the first writer lives a second one refuses: " + error);

    first.reset(); // the writer goes; the reader's handle keeps the section
    error.clear();
    const bool taken = second.create(name, sensorCapacity, readingCapacity, &error);
    check(taken, "once the first writer is gone the next one takes the section over " + error);
    std::vector<section::ReadingRecord> changed = readings();
    changed[1].value = 61.5;
    check(taken && second.setSensors(sensorNames) && second.setReadings(changed), "the next writer writes");
    const section::SharedMemoryHeader header(view);
    const auto reading = header.reading(1);
    check(reading && reading->value() == 61.5, "the reader sees the next writer's value through its old view");

    second.remove();
    section::Writer larger;
    error.clear();
    check(!larger.create(name, sensorCapacity, readingCapacity * 2, &error)
              && error.find("fewer than the") != std::string::npos,
          "a leftover section too small for the next writer is refused: " + error);
    UnmapViewOfFile(view.data);
    CloseHandle(handle);
    check(section::openReadOnly(name) == section::noHandle, "with the reader gone the section goes too");
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IONBF, 0); // keep the two processes' lines in order
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[0] == "--read")
        return readerSide(arguments[1]);
    if (arguments.size() == 2 && arguments[0] == "--hostile")
        return hostileSide(arguments[1]);
    if (arguments.size() > 1 || (arguments.size() == 1 && arguments[0].rfind("--", 0) == 0)) {
        std::fprintf(stderr, "usage: sectionpath [NAME]\n");
        return 2;
    }
    const std::string name = arguments.empty() ? section::productName() : arguments[0];
    const int result = wholeCheck(name) | restartCheck(name);
    std::printf("%s\n", result == 0 ? "PASS" : "FAILED");
    return result;
}
