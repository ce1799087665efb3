// Bounded string operations with one contract for every fixed-size buffer
// in the filter.
//
// Every operation here takes a destination buffer and its capacity in bytes,
// the terminating NUL included, and answers with a BoundedResult:
//   - InvalidArgument: the capacity is 0 or above kMaxBoundedCapacity (or the
//     destination of an append holds no terminator within its capacity).
//     Nothing is written.
//   - Ok: the whole text fitted. It is NUL-terminated and every byte behind
//     the terminator, up to the capacity, is zero.
//   - InsufficientBuffer: the text did not fit. The buffer holds its first
//     capacity - 1 bytes and a terminator; callers that may use cut text
//     (event details, header blocks) may do so.
//
// None of them allocates, throws or depends on the locale. They are safe to
// call from any thread on buffers that the caller owns.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace turnpike {

enum class BoundedResult {
  Ok,
  InvalidArgument,
  InsufficientBuffer,
};

// The largest capacity accepted, as for the Windows safe-string functions.
inline constexpr std::size_t kMaxBoundedCapacity = 2147483647;

// Copies `source` up to its terminator.
BoundedResult BoundedCopy(char* destination, std::size_t capacity,
                          const char* source) noexcept;

// Copies at most `count` characters of `source` (fewer if its terminator comes
// first).
BoundedResult BoundedCopyN(char* destination, std::size_t capacity,
                           const char* source, std::size_t count) noexcept;

// Appends `source` to the string already in `destination`.
BoundedResult BoundedAppend(char* destination, std::size_t capacity,
                            const char* source) noexcept;

// Appends at most `count` characters of `source`.
BoundedResult BoundedAppendN(char* destination, std::size_t capacity,
                             const char* source, std::size_t count) noexcept;

// Formats in the printf conventions.
BoundedResult BoundedFormat(char* destination, std::size_t capacity,
                            const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

BoundedResult BoundedFormatV(char* destination, std::size_t capacity,
                             const char* format, std::va_list arguments) noexcept
    __attribute__((format(printf, 3, 0)));

}  // namespace turnpike
