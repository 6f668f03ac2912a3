// The machine's identity for the management server: its network adapters' hardware addresses.
#pragma once

#include "platform/Win32.h"

// An address text with its terminator: "00-1A-2B-3C-4D-5E".
constexpr int kAdapterAddressUnits = 18;

class CServiceUtility {
  public:
    CServiceUtility() = default;
    virtual ~CServiceUtility();

    // The number of adapters, however many there are; 0 when the list cannot be read.
    static int GetAdapterCount();

    // Writes the address text ("00-1A-2B-3C-4D-5E", 18 units with the terminator) of the adapter at
    // `index` into `wideOut`. An all-zero address at that index is passed over, and an index past the end
    // gives the last adapter. Leaves `wideOut` untouched when the list cannot be read.
    static void GetAdapterAddress(WCHAR* wideOut, int index);

    // The address texts of one reading of the list, in chain order, the first `capacity` of them into
    // `texts` (narrow, "00-1A-2B-3C-4D-5E"); returns how many adapters there are, 0 when it cannot be read.
    static int GetAdapterAddresses(char (*texts)[kAdapterAddressUnits], int capacity);

    // What the last reading of the list came to: ERROR_SUCCESS, or why it could not be read (ERROR_NO_DATA:
    // no IPv4 adapter; ERROR_BUFFER_OVERFLOW: still growing after every reread).
    static DWORD ListError;
};

// Room for 16 records of the 32-bit layout (14 of the 64-bit one); the byte size is what counts. A longer
// list is read into a buffer of the size the platform asks for.
constexpr ULONG kAdapterBufferBytes = 10368;
// How often a list that grew since the platform gave its size is read again before it counts as unreadable.
constexpr int kAdapterListRereads = 3;
