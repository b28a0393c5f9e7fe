#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tidymark {

// The text of a property-list string or dictionary key (UTF-8 as the readers give it, though
// any bytes may be held). Up to 15 bytes live inside the object, which covers nearly every key;
// longer text lives in a shared, immutable block, so copies cost no allocation and a string
// referenced many times in a file is held once.
class PlistString {
 public:
  static constexpr std::size_t kMaxSize = UINT32_MAX;
  static constexpr std::size_t kInlineCapacity = 15;

  PlistString() noexcept { setInlineSize(0); }
  // Throws std::length_error for text longer than kMaxSize.
  PlistString(std::string_view text);
  PlistString(const char* text) : PlistString(std::string_view(text)) {}
  PlistString(const std::string& text) : PlistString(std::string_view(text)) {}
  PlistString(const PlistString& other) noexcept;
  PlistString(PlistString&& other) noexcept;
  PlistString& operator=(const PlistString& other) noexcept;
  PlistString& operator=(PlistString&& other) noexcept;
  ~PlistString() { release(); }

  const char* data() const { return isShared() ? block()->text() : raw_; }
  std::size_t size() const { return isShared() ? sharedSize() : inlineSize(); }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return {data(), size()}; }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }
  // Whether both hold the same shared block (and so the same text) without looking at it.
  bool sharesBlockWith(const PlistString& other) const {
    return isShared() && other.isShared() && block() == other.block();
  }

  friend bool operator==(const PlistString& a, const PlistString& b) {
    return a.sharesBlockWith(b) || a.view() == b.view();
  }
  friend bool operator==(const PlistString& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const PlistString& a, const char* b) { return a.view() == b; }
  friend bool operator==(const PlistString& a, const std::string& b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const PlistString& text);

 private:
  // Bytes 0-14 hold inline text and byte 15 its length; a shared string has a pointer to its
  // block in bytes 0-7, its length in bytes 8-11, and kShared in byte 15.
  static constexpr unsigned char kShared = 0xFF;
  struct Block {
    std::atomic<std::uint32_t> references;
    const char* text() const { return reinterpret_cast<const char*>(this + 1); }
    char* text() { return reinterpret_cast<char*>(this + 1); }
  };

  bool isShared() const { return static_cast<unsigned char>(raw_[15]) == kShared; }
  std::size_t inlineSize() const { return static_cast<unsigned char>(raw_[15]); }
  void setInlineSize(std::size_t size) { raw_[15] = static_cast<char>(size); }
  Block* block() const {
    Block* pointer;
    std::memcpy(&pointer, raw_, sizeof pointer);
    return pointer;
  }
  std::size_t sharedSize() const {
    std::uint32_t size;
    std::memcpy(&size, raw_ + 8, sizeof size);
    return size;
  }
  void release() noexcept;

  alignas(8) char raw_[16];
};

}  // namespace tidymark
