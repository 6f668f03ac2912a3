#pragma once

#include <cstddef>
#include <string>

// How many leading bytes of `text` are a Unicode byte-order mark or encoding signature: 0, 2, 3 or 4.
std::size_t GetBomLength(std::string text);
