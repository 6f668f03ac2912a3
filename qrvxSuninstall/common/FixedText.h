// Bounded operations on the program's fixed-capacity, NUL-terminated narrow text fields.
#pragma once

#include <cstddef>
#include <cstring>

// Copies `source` into `destination`, cutting it to the destination's capacity; always terminates.
template <std::size_t Capacity>
void CopyText(char (&destination)[Capacity], const char* source) {
    std::size_t length = std::strlen(source);
    if (length >= Capacity) {
        length = Capacity - 1;
    }
    std::memmove(destination, source, length);
    destination[length] = '\0';
}

// Appends `source` to the text already in `destination`, within the destination's capacity.
template <std::size_t Capacity>
void AppendText(char (&destination)[Capacity], const char* source) {
    std::size_t used = std::strlen(destination);
    std::size_t length = std::strlen(source);
    if (used + length >= Capacity) {
        length = Capacity - 1 - used;
    }
    std::memmove(destination + used, source, length);
    destination[used + length] = '\0';
}
