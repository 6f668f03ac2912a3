// GetAdaptersInfo: a real chain of adapter records in the caller's buffer, built from a scripted list of
// hardware addresses, or a scripted failure.
#pragma once

#include <array>
#include <deque>
#include <vector>

#include "platform/Win32.h"

namespace fake {

using Mac = std::array<unsigned char, 6>;

struct IpHelper {
    std::vector<Mac> adapters;
    // One per call, ahead of the list's own answer (ERROR_SUCCESS: answer from the list as it stands).
    std::deque<ULONG> results;
    // How many adapters come after each call, one entry per call: a list that grows while it is read, or
    // for a negative entry, loses its last ones.
    std::deque<int> growth;
    // Bytes asked for beyond the records, as Windows asks for the address strings of many addresses.
    ULONG extraNeeded = 0;
    std::vector<ULONG> sizesPassed;
};

extern IpHelper ipHelper;
void ResetIpHelper();

}  // namespace fake
