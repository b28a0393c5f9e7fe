#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/binary_plist.h"
#include "platform/binary_plist_format.h"
#include "platform/plist_edit.h"
#include "platform/utf8.h"

namespace tidymark {

namespace {

using namespace binary_format;

// The values of a file the reader has checked whole, read where they lie: every object reachable
// from the top one has a valid offset, a length that fits, references in range, and text that
// decodes, so nothing here checks again.
class CheckedNodes final : public PlistNodes {
 public:
  explicit CheckedNodes(std::string_view bytes)
      : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())) {
    const Trailer trailer = readTrailer(data_ + bytes.size() - kTrailerSize);
    table_ = trailer.table;
    offsetSize_ = trailer.offsetSize;
    refSize_ = trailer.refSize;
    top_ = trailer.top;
  }

  Node root() const override { return top_; }
  PlistKind kind(Node node) const override {
    using enum PlistKind;  // by the marker's high nibble; the check allows no other markers
    static constexpr PlistKind kKinds[16] = {Boolean, Integer, Real, Date,      Data,
                                             String,  String,  Data, Uid,       Data,
                                             Array,   Data,    Data, Dictionary};
    return kKinds[marker(node) >> 4];
  }
  std::size_t size(Node node) const override {
    const unsigned type = marker(node) >> 4;
    if (type != 0xA && type != 0xD) return 0;
    std::uint64_t count = 0;
    contentsOf(data_, offsetOf(node), table_, &count);
    return static_cast<std::size_t>(count);
  }
  Node element(Node array, std::size_t i) const override { return reference(array, i); }
  std::string_view key(Node dict, std::size_t i) const override {
    std::string_view text;
    decode(reference(dict, i), keyScratch_, &text);
    return text;
  }
  Node value(Node dict, std::size_t i) const override { return reference(dict, size(dict) + i); }
  bool text(Node node, std::string_view* text) const override {
    const unsigned type = marker(node) >> 4;
    if (type != 0x5 && type != 0x6) return false;
    decode(node, textScratch_, text);
    return true;
  }
  const void* arrayId(Node array) const override { return arrayObjectId(array); }

 private:
  std::uint64_t offsetOf(Node node) const {
    return loadBigEndian(data_ + table_ + node * offsetSize_, offsetSize_);
  }
  std::uint8_t marker(Node node) const { return data_[offsetOf(node)]; }
  // The i-th reference of a container.
  Node reference(Node container, std::size_t i) const {
    std::uint64_t count = 0;
    const std::uint64_t refs = contentsOf(data_, offsetOf(container), table_, &count);
    return loadBigEndian(data_ + refs + i * refSize_, refSize_);
  }
  // A string's text: the file's own bytes for ASCII, else its UTF-16 decoded into `scratch`.
  void decode(Node string, std::string& scratch, std::string_view* text) const {
    const std::uint64_t offset = offsetOf(string);
    std::uint64_t count = 0;
    const std::uint8_t* body = data_ + contentsOf(data_, offset, table_, &count);
    if (data_[offset] >> 4 == 0x5) {
      *text = {reinterpret_cast<const char*>(body), static_cast<std::size_t>(count)};
      return;
    }
    scratch.resize(3 * count);  // at most three UTF-8 bytes for each unit
    char* out = scratch.data();
    for (std::uint64_t i = 0; i < count; ++i) {
      char32_t c = static_cast<char16_t>((body[2 * i] << 8) | body[2 * i + 1]);
      if (c >= 0xD800 && c <= 0xDBFF) {  // paired, as the reader has checked
        ++i;
        c = 0x10000 + ((c - 0xD800) << 10) +
            (static_cast<char16_t>((body[2 * i] << 8) | body[2 * i + 1]) - 0xDC00);
      }
      out = encodeUtf8(c, out);
    }
    *text = {scratch.data(), static_cast<std::size_t>(out - scratch.data())};
  }

  const std::uint8_t* data_;
  std::uint64_t table_;
  unsigned offsetSize_, refSize_;
  std::uint64_t top_;
  mutable std::string keyScratch_, textScratch_;
};

}  // namespace

std::unique_ptr<const PlistNodes> checkedBinaryNodes(std::string_view bytes) {
  return std::make_unique<CheckedNodes>(bytes);
}

}  // namespace tidymark
