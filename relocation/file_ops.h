// Path and file primitives on narrow, absolute Windows paths.
#pragma once

#include <array>
#include <cstddef>

namespace veltrax {

// Every path the tool composes fits a buffer of this size with room to spare.
inline constexpr std::size_t path_buffer_size = 256;
using PathBuffer = std::array<char, path_buffer_size>;

// Both separators Windows accepts.
inline constexpr const char* path_separators = "\\/";

// The block size of copy_file.
inline constexpr std::size_t copy_block_size = 51200;

// Writes the concatenation of the parts into out; false (out left empty) when it would not fit.
bool compose_path(PathBuffer& out, const char* first, const char* second, const char* third = "",
                  const char* fourth = "");

// Room for any unsigned long in decimal (at most 20 digits) and a NUL.
using DecimalBuffer = std::array<char, 21>;

// Writes value in decimal digits at the end of out; returns where the NUL-terminated digits start.
const char* format_decimal(unsigned long value, DecimalBuffer& out);

// Creates every folder along a writable path, which may end with a separator.
// Cuts the text at each separator while it works and restores it before it
// returns. True when the whole path exists afterwards.
bool make_directory_path(char* path);

// Copies source onto destination so that the destination is only ever the
// old file or the complete new one: the bytes go to a temporary beside the
// destination, are flushed to the disk, and only then replace it. When the
// source cannot be opened, or anything fails, the destination is untouched
// and no temporary is left.
void copy_file(const char* source, const char* destination);

}  // namespace veltrax
