// The I/O registry layer: a tree of entries, each with a class (and the
// classes it derives from) and a path in the "IOService" plane, walked from
// its root. An entry may stand for a driver, which is handed property tables.
//
// Handles are counted references: copying an io_object_t takes a reference
// (the platform's IOObjectRetain) and destroying it gives it back
// (IOObjectRelease), so no entry outlives its last holder and none leaks.
//
// Everything goes through one process-wide backend: the sound server's, put
// there by installPulsePlatform() (platform/pulse/PulsePlatform.h), or a
// test's; until one is installed, a root without children. It is a slot of
// its own: installing an audio backend leaves it as it is.
//
// Threads: main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using IOReturn = std::int32_t;
using IOOptionBits = std::uint32_t;
using mach_port_t = std::uint32_t;
using io_string_t = char[512];

constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = IOReturn(0xE00002BC);
constexpr IOReturn kIOReturnBadArgument = IOReturn(0xE00002C2);
constexpr IOReturn kIOReturnUnsupported = IOReturn(0xE00002C7);
constexpr IOReturn kIOReturnNotResponding = IOReturn(0xE00002ED);

constexpr mach_port_t kIOMasterPortDefault = 0;
constexpr IOOptionBits kIORegistryIterateRecursively = 1;
constexpr const char* kIOServicePlane = "IOService";

// A property table handed to a driver: string keys, string values.
using CFDictionary = std::map<std::string, std::string>;

// The input device the loopback driver makes: its name and its unique
// identifier. Users' settings hold the identifier, so neither ever changes.
inline constexpr char kLoopbackDeviceName[] = "Vortanx System Audio";
inline constexpr char kLoopbackDeviceUID[] = "traytape_system_audio";

class IORegistryEntry;
using io_object_t = std::shared_ptr<const IORegistryEntry>;
using io_registry_entry_t = io_object_t;
using io_service_t = io_object_t;

// One entry. A backend builds its entries (adopt() while building) and then
// hands them out only as const handles.
class IORegistryEntry {
public:
    // classes: the entry's own class first, then every class it derives from.
    IORegistryEntry(std::vector<std::string> classes, std::string path);
    virtual ~IORegistryEntry() = default;
    IORegistryEntry(const IORegistryEntry&) = delete;
    IORegistryEntry& operator=(const IORegistryEntry&) = delete;

    // The handle's number, unique in the process and never 0.
    std::uint32_t id() const { return id_; }
    const std::vector<std::string>& classes() const { return classes_; }
    bool conformsTo(std::string_view className) const;
    // In the "IOService" plane.
    const std::string& path() const { return path_; }
    const std::vector<io_registry_entry_t>& children() const { return children_; }
    void adopt(io_registry_entry_t child) { children_.push_back(std::move(child)); }

    // What the entry's driver makes of a property table. An entry without a
    // driver matches nothing and keeps nothing.
    virtual IOReturn matchPropertyTable(const CFDictionary& table, bool* matches) const;

private:
    std::uint32_t id_;
    std::vector<std::string> classes_;
    std::string path_;
    std::vector<io_registry_entry_t> children_;
};

// What a backend provides: the root of its tree.
class IORegistryBackend {
public:
    virtual ~IORegistryBackend() = default;
    // Never null; a root without children when there is nothing to show.
    virtual io_registry_entry_t rootEntry() = 0;
};

// The installed backend (see the top of this file for the default).
IORegistryBackend& ioRegistryBackend();
// Installs a backend; returns the previous one. Null restores the empty one.
std::unique_ptr<IORegistryBackend> setIORegistryBackend(std::unique_ptr<IORegistryBackend> backend);

// A walk over a snapshot of the entries below one entry, each yielded once.
class IORegistryIterator {
public:
    explicit IORegistryIterator(std::vector<io_registry_entry_t> entries) : entries_(std::move(entries)) { }
    io_object_t next() { return next_ < entries_.size() ? entries_[next_++] : nullptr; }

private:
    std::vector<io_registry_entry_t> entries_;
    std::size_t next_ = 0;
};
using io_iterator_t = std::unique_ptr<IORegistryIterator>;

// The C-style entry points the engine is written against.
io_registry_entry_t IORegistryGetRootEntry(mach_port_t mainPort);
// Children in order, or with kIORegistryIterateRecursively every entry below
// (each before its own children). Only the "IOService" plane exists.
IOReturn IORegistryEntryCreateIterator(
    const io_registry_entry_t& entry, const char* plane, IOOptionBits options, io_iterator_t* iterator);
// Null once the walk is over.
io_object_t IOIteratorNext(const io_iterator_t& iterator);
bool IOObjectConformsTo(const io_object_t& object, const char* className);
// Fails when the path with its terminator does not fit the 512-byte buffer.
IOReturn IORegistryEntryGetPath(const io_registry_entry_t& entry, const char* plane, io_string_t path);
IOReturn IOServiceMatchPropertyTable(const io_service_t& service, const CFDictionary& matching, bool* matches);
