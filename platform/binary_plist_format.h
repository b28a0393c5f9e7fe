#pragma once

// What the binary property-list reader and writer share: the layout's sizes and how numbers are
// stored in it (big-endian, in widths of 1 to 8 bytes).

#include <cstdint>
#include <string>

namespace tidymark::binary_format {

inline constexpr std::uint64_t kHeaderSize = 8;
inline constexpr std::uint64_t kTrailerSize = 32;

inline std::uint64_t loadBigEndian(const std::uint8_t* p, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i)
    v = (v << 8) | p[i];
  return v;
}

// Appends `value` as `width` big-endian bytes (its low ones).
inline void appendBigEndian(std::string& out, std::uint64_t value, unsigned width) {
  for (unsigned i = width; i-- > 0;)
    out.push_back(static_cast<char>(value >> (8 * i)));
}

// The smallest of 1, 2, 4 and 8 bytes that holds `value`.
inline unsigned widthFor(std::uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFFFF) return 4;
  return 8;
}

// The fields of the trailer, the last kTrailerSize bytes of a file, which begin at `trailer`.
struct Trailer {
  unsigned offsetSize, refSize;
  std::uint64_t objects, top, table;
};
inline Trailer readTrailer(const std::uint8_t* trailer) {
  return {trailer[6], trailer[7], loadBigEndian(trailer + 8, 8), loadBigEndian(trailer + 16, 8),
          loadBigEndian(trailer + 24, 8)};
}

// Where the contents of the object at `offset` begin, before `limit`, with how many elements they
// hold in *count: its marker's low nibble, or the integer that follows a 0xF nibble. `limit`, and
// no elements, when that runs past `limit`.
inline std::uint64_t contentsOf(const std::uint8_t* data, std::uint64_t offset, std::uint64_t limit,
                                std::uint64_t* count) {
  *count = 0;
  if (offset >= limit) return limit;
  if ((data[offset] & 0x0F) != 0x0F) {
    *count = data[offset] & 0x0F;
    return offset + 1;
  }
  if (limit - offset < 2) return limit;
  const unsigned width = 1u << (data[offset + 1] & 0x03);
  if (limit - offset < 2 + width) return limit;
  *count = loadBigEndian(data + offset + 2, width);
  return offset + 2 + width;
}

// Where the object at `offset` ends: its marker, its length and its contents, with references of
// `refSize` bytes, never past `limit`. Bytes that are no object end right after the marker.
inline std::uint64_t objectEnd(const std::uint8_t* data, std::uint64_t offset, std::uint64_t limit,
                               unsigned refSize) {
  if (offset >= limit) return limit;
  const unsigned kind = data[offset] >> 4, low = data[offset] & 0x0F;
  const auto clamp = [limit](std::uint64_t from, std::uint64_t count, std::uint64_t size) {
    return count > (limit - from) / size ? limit : from + count * size;
  };
  if (kind == 0x1 || kind == 0x2) return clamp(offset + 1, std::uint64_t{1} << (low & 7), 1);
  if (kind == 0x3) return clamp(offset + 1, 8, 1);
  if (kind == 0x8) return clamp(offset + 1, low + 1, 1);
  std::uint64_t elementSize = 0;
  if (kind == 0x4 || kind == 0x5) elementSize = 1;
  if (kind == 0x6) elementSize = 2;
  if (kind == 0xA || kind == 0xC) elementSize = refSize;
  if (kind == 0xD) elementSize = 2 * std::uint64_t{refSize};
  if (elementSize == 0) return offset + 1;
  std::uint64_t count = 0;
  const std::uint64_t body = contentsOf(data, offset, limit, &count);
  return clamp(body, count, elementSize);
}

}  // namespace tidymark::binary_format
