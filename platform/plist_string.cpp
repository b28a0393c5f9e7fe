#include "platform/plist_string.h"

#include <new>
#include <ostream>
#include <stdexcept>

namespace tidymark {

PlistString::PlistString(std::string_view text) {
  if (text.size() <= kInlineCapacity) {
    std::memcpy(raw_, text.data(), text.size());
    setInlineSize(text.size());
    return;
  }
  if (text.size() > kMaxSize) throw std::length_error("a string is longer than 4 GiB");
  Block* shared = new (::operator new(sizeof(Block) + text.size())) Block{{1}};
  std::memcpy(shared->text(), text.data(), text.size());
  const auto size = static_cast<std::uint32_t>(text.size());
  std::memcpy(raw_, &shared, sizeof shared);
  std::memcpy(raw_ + 8, &size, sizeof size);
  raw_[15] = static_cast<char>(kShared);
}

PlistString::PlistString(const PlistString& other) noexcept {
  std::memcpy(raw_, other.raw_, sizeof raw_);
  if (isShared()) block()->references.fetch_add(1, std::memory_order_relaxed);
}

PlistString::PlistString(PlistString&& other) noexcept {
  std::memcpy(raw_, other.raw_, sizeof raw_);
  other.setInlineSize(0);
}

PlistString& PlistString::operator=(const PlistString& other) noexcept {
  if (this != &other) {
    PlistString copy(other);
    *this = std::move(copy);
  }
  return *this;
}

PlistString& PlistString::operator=(PlistString&& other) noexcept {
  if (this != &other) {
    release();
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.setInlineSize(0);
  }
  return *this;
}

void PlistString::release() noexcept {
  if (!isShared()) return;
  Block* shared = block();
  if (shared->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    shared->~Block();
    ::operator delete(shared);
  }
  setInlineSize(0);
}

std::ostream& operator<<(std::ostream& out, const PlistString& text) {
  return out << text.view();
}

}  // namespace tidymark
