// One entry of the I/O registry, for finding the audio engine behind the
// default output and the loopback driver that captures it.
//
// The wrapper holds one reference to its entry for as long as it lives;
// copies hold their own. Wrappers live only as long as the arrays of one
// search. Main thread only.
#pragma once

#include "platform/IORegistry.h"

#include <optional>
#include <string>
#include <vector>

class IOService {
public:
    // Every entry that conforms to the class (the class itself or a
    // subclass), in the order of a recursive walk of the "IOService" plane
    // from the registry root.
    static std::vector<IOService> getServicesByClassName(const std::string& className);

    // Takes its own reference to the entry.
    explicit IOService(io_service_t serviceID) : serviceID_(std::move(serviceID)) { }

    const io_service_t& object() const { return serviceID_; }
    // The entry's path in the "IOService" plane; none when it cannot be had.
    std::optional<std::string> path() const;
    // Hands the table to the entry's driver; the answer is of no interest.
    void matchingServiceWithTable(const CFDictionary& table) const;

private:
    io_service_t serviceID_;
};
