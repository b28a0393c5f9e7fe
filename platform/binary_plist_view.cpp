#include "platform/binary_plist_view.h"

#include <algorithm>

#include "platform/binary_plist_format.h"
#include "platform/utf8.h"

namespace tidymark {

using namespace binary_format;

BinaryPlistView::BinaryPlistView(std::string_view bytes)
    : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())), size_(bytes.size()) {
  if (size_ < kHeaderSize + kTrailerSize) return;
  const Trailer trailer = readTrailer(data_ + size_ - kTrailerSize);
  offsetSize_ = trailer.offsetSize;
  refSize_ = trailer.refSize;
  objects_ = trailer.objects;
  top_ = trailer.top;
  table_ = trailer.table;
  // As the reader requires; otherwise no object is found.
  if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || table_ > size_ ||
      objects_ > (size_ - table_) / offsetSize_) {
    objects_ = 0;
  }
}

std::uint64_t BinaryPlistView::offsetOf(std::uint64_t object) const {
  if (object >= objects_) return table_;
  const std::uint64_t offset = loadBigEndian(data_ + table_ + object * offsetSize_, offsetSize_);
  return offset < table_ ? offset : table_;
}

BinaryPlistView::Kind BinaryPlistView::kind(std::uint64_t object) const {
  const std::uint64_t offset = offsetOf(object);
  if (offset >= table_) return Kind::Other;
  switch (data_[offset] >> 4) {
    case 0xD:
      return Kind::Dictionary;
    case 0xA:
      return Kind::Array;
    case 0x5:
    case 0x6:
      return Kind::String;
    default:
      return Kind::Other;
  }
}

BinaryPlistView::Container BinaryPlistView::open(std::uint64_t object) const {
  const std::uint64_t offset = offsetOf(object);
  const unsigned type = offset < table_ ? data_[offset] >> 4 : 0;
  if (type != 0xA && type != 0xD) return {};
  Container container;
  container.refs = contentsOf(data_, offset, table_, &container.count);
  // Never more references than lie before the offset table.
  const std::uint64_t room = (table_ - container.refs) / refSize_ / (type == 0xD ? 2 : 1);
  container.count = std::min(container.count, room);
  return container;
}

bool BinaryPlistView::text(std::uint64_t string, std::string& scratch,
                           std::string_view* text) const {
  const std::uint64_t offset = offsetOf(string);
  const unsigned type = offset < table_ ? data_[offset] >> 4 : 0;
  if (type != 0x5 && type != 0x6) return false;
  std::uint64_t n = 0;
  const std::uint64_t start = contentsOf(data_, offset, table_, &n);
  if (type == 0x5) {
    *text = {reinterpret_cast<const char*>(data_ + start), std::min(n, table_ - start)};
    return true;
  }
  // UTF-16, big-endian, its surrogates paired (the reader has checked them): at most three
  // UTF-8 bytes for each unit.
  n = std::min(n, (table_ - start) / 2);
  if (scratch.size() < 3 * n) scratch.resize(3 * n);  // grown, never shrunk: no refill each time
  char* out = scratch.data();
  const std::uint8_t* units = data_ + start;
  for (std::uint64_t i = 0; i < n; ++i) {
    char32_t c = static_cast<char16_t>((units[2 * i] << 8) | units[2 * i + 1]);
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
      const char32_t low = static_cast<char16_t>((units[2 * i + 2] << 8) | units[2 * i + 3]);
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    out = encodeUtf8(c, out);
  }
  *text = {scratch.data(), static_cast<std::size_t>(out - scratch.data())};
  return true;
}

}  // namespace tidymark
