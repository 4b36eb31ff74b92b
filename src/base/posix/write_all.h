#pragma once

#include <cstddef>

namespace wavtally::platform {

/// Writes the size bytes at data to fd, however many writes that takes;
/// returns 0, or the errno of the write that failed. *written is the count
/// that went out either way.
int WriteAll(int fd, const char* data, size_t size, size_t* written);

}  // namespace wavtally::platform
