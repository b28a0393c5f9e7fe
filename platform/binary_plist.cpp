#include "platform/binary_plist.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "platform/plist_edit.h"
#include "platform/utf8.h"

namespace tidymark {

namespace {

constexpr std::uint64_t kHeaderSize = 8;
constexpr std::uint64_t kTrailerSize = 32;

std::uint64_t loadBigEndian(const std::uint8_t* p, unsigned width) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  constexpr bool swap = std::endian::native == std::endian::little;
  switch (width) {
    case 1:
      return p[0];
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return swap ? __builtin_bswap16(v) : v;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return swap ? __builtin_bswap32(v) : v;
    }
    case 8: {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      return swap ? __builtin_bswap64(v) : v;
    }
    default: {
      std::uint64_t v = 0;
      for (unsigned i = 0; i < width; ++i) {
        v = (v << 8) | p[i];
      }
      return v;
    }
  }
}

std::uint8_t* storeBigEndian(std::uint8_t* p, std::uint64_t value, unsigned width) {
  constexpr bool swap = std::endian::native == std::endian::little;
  switch (width) {
    case 1:
      *p = static_cast<std::uint8_t>(value);
      break;
    case 2: {
      auto v = static_cast<std::uint16_t>(value);
      if (swap) v = __builtin_bswap16(v);
      std::memcpy(p, &v, 2);
      break;
    }
    case 4: {
      auto v = static_cast<std::uint32_t>(value);
      if (swap) v = __builtin_bswap32(v);
      std::memcpy(p, &v, 4);
      break;
    }
    default: {
      std::uint64_t v = swap ? __builtin_bswap64(value) : value;
      std::memcpy(p, &v, 8);
      break;
    }
  }
  return p + width;
}

// The smallest of 1, 2, 4 and 8 bytes that holds `value`.
unsigned widthFor(std::uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFFFF) return 4;
  return 8;
}

// ---------------------------------------------------------------------------------------------
// Reading

class Reader {
 public:
  Reader(std::string_view bytes, PlistOriginal* original, KeptKeys kept)
      : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())),
        size_(bytes.size()),
        original_(original),
        kept_(kept) {
    budget_ = std::max<std::uint64_t>(std::uint64_t{64} << 20, std::uint64_t{32} * size_);
  }

  Status read(PlistValue* root);

 private:
  // A container whose elements are still to be read. The container's storage is reserved to
  // its exact size, so pointers to elements already added stay valid. A container that is not
  // kept has neither `array` nor `dict`: its elements are read, checked and dropped.
  struct Pending {
    PlistArray* array = nullptr;
    PlistDict* dict = nullptr;
    const std::uint8_t* refs = nullptr;
    std::uint64_t count = 0;
    std::uint64_t next = 0;
    std::uint64_t object = 0;
    bool isDict = false;
  };

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  [[gnu::noinline, gnu::cold]] bool failObject(std::uint64_t object, const char* what) {
    return fail(std::string(what) + " (object " + std::to_string(object) + ")");
  }
  bool failOffset(std::uint64_t object);
  bool failReference(std::uint64_t object, std::uint64_t owner);

  bool readTrailer();
  bool offsetOf(std::uint64_t object, std::uint64_t* offset);
  bool reference(const Pending& owner, std::uint64_t position, std::uint64_t* object);
  bool lengthOf(std::uint64_t object, std::uint64_t offset, std::uint64_t elementSize,
                std::uint64_t* count, std::uint64_t* body);
  bool charge(std::uint64_t bytes);
  bool checkExpansion();
  bool build(PlistValue* tree);
  bool load(std::uint64_t object, PlistValue* out, Pending* pending, bool keep = true);
  bool isKept(const PlistString& key) const;
  std::uint64_t keptEntries(const std::uint8_t* keyRefs, std::uint64_t count) const;
  bool loadKey(std::uint64_t object, std::uint64_t owner, PlistString* out);
  bool loadString(std::uint64_t object, std::uint64_t offset, PlistString* out);
  bool decodeUtf16(std::uint64_t object, const std::uint8_t* units, std::uint64_t count,
                   std::string* out, bool charged);

  const std::uint8_t* data_;
  std::uint64_t size_;
  PlistOriginal* original_;  // where arrays are recorded, when given
  KeptKeys kept_;
  PlistValue dropped_;  // where a value that is not kept is read to
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  std::uint64_t numObjects_ = 0;
  std::uint64_t topObject_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::uint64_t materialized_ = 0;
  std::uint64_t budget_ = 0;
  // Per object: kOnPath while it is a container being filled, kBuilt once it has been.
  static constexpr std::uint8_t kOnPath = 1, kBuilt = 2;
  std::vector<std::uint8_t> marks_;
  bool expansionChecked_ = false;
  // Strings read lately, by object number. Writers share equal strings, so a few objects (the
  // keys, kinds such as "WebBookmarkTypeLeaf") are referenced from every node: each is then
  // read once, and a long one is held once. A string only checked is not `built`.
  struct RecentString {
    std::uint64_t object = UINT64_MAX;
    PlistString text;
    bool built = false;
  };
  static constexpr std::size_t kRecentStrings = 1024;  // a power of two
  std::vector<RecentString> recent_ = std::vector<RecentString>(kRecentStrings);
  std::string utf8_;  // a UTF-16 string decoded, before it becomes a PlistString
  std::string error_;
};

bool Reader::readTrailer() {
  if (size_ < kHeaderSize ||
      std::memcmp(data_, kBinaryPlistMagic.data(), kBinaryPlistMagic.size()) != 0) {
    return fail("it does not begin with \"bplist00\"");
  }
  if (size_ < kHeaderSize + kTrailerSize) return fail("the trailer is cut off");
  const std::uint64_t trailerStart = size_ - kTrailerSize;
  const std::uint8_t* trailer = data_ + trailerStart;
  offsetSize_ = trailer[6];
  refSize_ = trailer[7];
  numObjects_ = loadBigEndian(trailer + 8, 8);
  topObject_ = loadBigEndian(trailer + 16, 8);
  tableOffset_ = loadBigEndian(trailer + 24, 8);
  if (offsetSize_ < 1 || offsetSize_ > 8) {
    return fail("the offset size " + std::to_string(offsetSize_) + " is not between 1 and 8");
  }
  if (refSize_ < 1 || refSize_ > 8) {
    return fail("the reference size " + std::to_string(refSize_) + " is not between 1 and 8");
  }
  if (numObjects_ == 0) return fail("it holds no objects");
  if (topObject_ >= numObjects_) {
    return fail("the top object " + std::to_string(topObject_) + " is out of range (" +
                std::to_string(numObjects_) + " objects)");
  }
  if (tableOffset_ < kHeaderSize || tableOffset_ > trailerStart) {
    return fail("the offset table starts outside the file");
  }
  if (numObjects_ > (trailerStart - tableOffset_) / offsetSize_) {
    return fail("the offset table for " + std::to_string(numObjects_) +
                " objects runs past the trailer");
  }
  return true;
}

// The checks below run for every object and reference; their failures are kept out of line,
// so the checks themselves stay small enough to inline.
[[gnu::noinline, gnu::cold]] bool Reader::failOffset(std::uint64_t object) {
  return fail("the offset of object " + std::to_string(object) + " lies outside the object data");
}

[[gnu::noinline, gnu::cold]] bool Reader::failReference(std::uint64_t object, std::uint64_t owner) {
  return fail("reference " + std::to_string(object) + " is out of range (object " +
              std::to_string(owner) + ")");
}

inline bool Reader::offsetOf(std::uint64_t object, std::uint64_t* offset) {
  *offset = loadBigEndian(data_ + tableOffset_ + object * offsetSize_, offsetSize_);
  if (*offset < kHeaderSize || *offset >= tableOffset_) return failOffset(object);
  return true;
}

inline bool Reader::reference(const Pending& owner, std::uint64_t position, std::uint64_t* object) {
  *object = loadBigEndian(owner.refs + position * refSize_, refSize_);
  if (*object >= numObjects_) return failReference(*object, owner.object);
  return true;
}

// Reads the length of the object at `offset` (its marker's low nibble, or the integer object
// that follows a 0xF nibble) and checks that `count` elements of `elementSize` bytes fit
// before the offset table. `body` receives where the elements start.
inline bool Reader::lengthOf(std::uint64_t object, std::uint64_t offset, std::uint64_t elementSize,
                             std::uint64_t* count, std::uint64_t* body) {
  const std::uint8_t* p = data_ + offset;
  const std::uint64_t available = tableOffset_ - offset;
  if ((p[0] & 0x0F) != 0x0F) {
    *count = p[0] & 0x0F;
    *body = offset + 1;
  } else {
    if (available < 2 || (p[1] & 0xF0) != 0x10 || (p[1] & 0x0F) > 3) {
      return failObject(object, "a length is not given as an integer");
    }
    const unsigned width = 1u << (p[1] & 0x0F);
    if (available < 2 + width) return failObject(object, "a length runs past the objects");
    *count = loadBigEndian(p + 2, width);
    if (width == 8 && static_cast<std::int64_t>(*count) < 0) {
      return failObject(object, "a length is negative");
    }
    *body = offset + 2 + width;
  }
  if (*count > (tableOffset_ - *body) / elementSize) {
    return failObject(object, "the contents run past the objects");
  }
  return true;
}

bool Reader::charge(std::uint64_t bytes) {
  materialized_ += bytes;
  if (materialized_ > budget_) {
    return fail("the property list expands far beyond its size (shared references)");
  }
  return true;
}

bool Reader::decodeUtf16(std::uint64_t object, const std::uint8_t* units, std::uint64_t count,
                         std::string* out, bool charged) {
  const auto unitAt = [&](std::uint64_t i) {
    return static_cast<char16_t>((units[2 * i] << 8) | units[2 * i + 1]);
  };
  const auto broken = [&] { return failObject(object, "a string has a broken UTF-16 surrogate"); };
  // First pass: validate and measure, so the payload is charged and allocated once.
  std::uint64_t length = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const char16_t unit = unitAt(i);
    if (unit < 0x80) {
      length += 1;
    } else if (unit < 0x800) {
      length += 2;
    } else if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= count) return broken();
      const char16_t low = unitAt(i + 1);
      if (low < 0xDC00 || low > 0xDFFF) return broken();
      length += 4;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return broken();
    } else {
      length += 3;
    }
  }
  if (!charged && !charge(length)) return false;
  out->resize(length);
  char* next = out->data();
  for (std::uint64_t i = 0; i < count; ++i) {
    char32_t codePoint = unitAt(i);
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
      ++i;
    }
    next = encodeUtf8(codePoint, next);
  }
  return true;
}

// Loads a string object into *out, or (without `out`) only checks it. Either way it counts
// against the budget once while it stays among the recent strings.
bool Reader::loadString(std::uint64_t object, std::uint64_t offset, PlistString* out) {
  RecentString& recent = recent_[object & (kRecentStrings - 1)];
  const bool charged = recent.object == object;
  if (charged && (recent.built || !out)) {
    if (out) *out = recent.text;
    return true;
  }
  const std::uint8_t marker = data_[offset];
  std::uint64_t count = 0;
  std::uint64_t body = 0;
  std::string_view text;
  if ((marker & 0xF0) == 0x50) {
    if (!lengthOf(object, offset, 1, &count, &body)) return false;
    text = std::string_view(reinterpret_cast<const char*>(data_ + body), count);
    if (!isAscii(text)) return failObject(object, "an ASCII string holds a byte above 0x7F");
    if (!charged && !charge(count)) return false;
  } else {
    if (!lengthOf(object, offset, 2, &count, &body)) return false;
    if (!decodeUtf16(object, data_ + body, count, &utf8_, charged)) return false;
    text = utf8_;
  }
  if (text.size() > PlistString::kMaxSize) return failObject(object, "a string is too long");
  if (!out) {
    recent = {object, PlistString(), false};
    return true;
  }
  *out = PlistString(text);
  recent = {object, *out, true};
  return true;
}

bool Reader::loadKey(std::uint64_t object, std::uint64_t owner, PlistString* out) {
  std::uint64_t offset;
  if (!offsetOf(object, &offset)) return false;
  const std::uint8_t type = data_[offset] & 0xF0;
  if (type != 0x50 && type != 0x60) {
    return fail("the key at object " + std::to_string(object) + " is not a string (object " +
                std::to_string(owner) + ")");
  }
  return loadString(object, offset, out);
}

bool Reader::isKept(const PlistString& key) const {
  return kept_.empty() || std::find(kept_.begin(), kept_.end(), key.view()) != kept_.end();
}

// How many of a dictionary's keys are kept, looking at each without reading it: an ASCII string
// object that fits the file. A key that does not is counted, and read (and refused) later.
std::uint64_t Reader::keptEntries(const std::uint8_t* keyRefs, std::uint64_t count) const {
  if (kept_.empty()) return count;
  std::uint64_t kept = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t object = loadBigEndian(keyRefs + i * refSize_, refSize_);
    if (object >= numObjects_) {
      ++kept;
      continue;
    }
    const std::uint64_t offset =
        loadBigEndian(data_ + tableOffset_ + object * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= tableOffset_ || (data_[offset] & 0xF0) != 0x50 ||
        (data_[offset] & 0x0F) == 0x0F) {
      ++kept;  // not a short ASCII string: no kept key is one
      continue;
    }
    const std::uint64_t length = data_[offset] & 0x0F;
    if (length >= tableOffset_ - offset) {
      ++kept;
      continue;
    }
    const std::string_view text(reinterpret_cast<const char*>(data_ + offset + 1), length);
    kept += std::find(kept_.begin(), kept_.end(), text) != kept_.end();
  }
  return kept;
}

// Loads one object into *out. A container comes back empty with its storage reserved, and
// `pending` describes the elements still to be read; otherwise pending->refs stays null. An
// object not kept is checked as thoroughly, but a string, data or container is not built.
bool Reader::load(std::uint64_t object, PlistValue* out, Pending* pending, bool keep) {
  std::uint64_t offset;
  if (!offsetOf(object, &offset)) return false;
  const std::uint8_t* p = data_ + offset;
  const std::uint64_t available = tableOffset_ - offset;
  const std::uint8_t marker = p[0];
  const unsigned low = marker & 0x0F;
  std::uint64_t count = 0;
  std::uint64_t body = 0;
  switch (marker >> 4) {
    case 0x0:
      if (marker == 0x08 || marker == 0x09) {
        *out = PlistValue::boolean(marker == 0x09);
        return true;
      }
      if (marker == 0x00) return failObject(object, "null objects are not supported");
      if (marker == 0x0F) return failObject(object, "a fill byte stands where an object should be");
      break;
    case 0x1: {
      if (low > 4) return failObject(object, "an integer has an unsupported size");
      const unsigned width = 1u << low;
      if (available < 1 + width) return failObject(object, "an integer runs past the objects");
      if (width <= 8) {
        // 1, 2 and 4 bytes are unsigned; 8 bytes are a signed 64-bit value.
        *out = PlistValue::integer(static_cast<std::int64_t>(loadBigEndian(p + 1, width)));
      } else {
        const std::uint64_t high = loadBigEndian(p + 1, 8);
        const std::uint64_t value = loadBigEndian(p + 9, 8);
        if (high == 0) {
          *out = PlistValue::unsignedInteger(value);
        } else if (high == ~std::uint64_t{0} && (value >> 63) != 0) {
          *out = PlistValue::integer(static_cast<std::int64_t>(value));
        } else {
          return failObject(object, "an integer does not fit in 64 bits");
        }
      }
      return true;
    }
    case 0x2:
      if (marker == 0x22) {
        if (available < 5) return failObject(object, "a real runs past the objects");
        const auto bits = static_cast<std::uint32_t>(loadBigEndian(p + 1, 4));
        *out = PlistValue::real(static_cast<double>(std::bit_cast<float>(bits)));
        return true;
      }
      if (marker == 0x23) {
        if (available < 9) return failObject(object, "a real runs past the objects");
        *out = PlistValue::real(std::bit_cast<double>(loadBigEndian(p + 1, 8)));
        return true;
      }
      return failObject(object, "a real has an unsupported size");
    case 0x3:
      if (marker != 0x33) break;
      if (available < 9) return failObject(object, "a date runs past the objects");
      *out = PlistValue::date(std::bit_cast<double>(loadBigEndian(p + 1, 8)));
      return true;
    case 0x4: {
      if (!lengthOf(object, offset, 1, &count, &body)) return false;
      if (!charge(count)) return false;
      const std::uint8_t* bytes = data_ + body;
      if (keep) *out = PlistValue::data(PlistData(bytes, bytes + count));
      return true;
    }
    case 0x5:
    case 0x6: {
      if (!keep) return loadString(object, offset, nullptr);
      PlistString text;
      if (!loadString(object, offset, &text)) return false;
      *out = PlistValue::string(std::move(text));
      return true;
    }
    case 0x8: {
      const unsigned width = low + 1;
      if (available < 1 + width) return failObject(object, "a UID runs past the objects");
      for (unsigned i = 0; i + 8 < width; ++i) {
        if (p[1 + i] != 0) return failObject(object, "a UID does not fit in 64 bits");
      }
      const unsigned kept = std::min(width, 8u);
      *out = PlistValue::uid(loadBigEndian(p + 1 + width - kept, kept));
      return true;
    }
    case 0xA: {
      if (!lengthOf(object, offset, refSize_, &count, &body)) return false;
      if (!charge(count * sizeof(PlistValue))) return false;
      *pending = Pending{nullptr, nullptr, data_ + body, count, 0, object, false};
      if (keep) {
        PlistArray elements;
        elements.reserve(count);
        *out = PlistValue::array(std::move(elements));
        pending->array = out->asArray();
      }
      // An array that is not kept is recorded too, as one whose elements never move.
      if (original_ && count >= 2 && count <= UINT32_MAX) {
        original_->addReferenceList(keep ? out->asArray()->data() : nullptr, object, body,
                                    static_cast<std::uint32_t>(count), refSize_);
      }
      return true;
    }
    case 0xC:
      return failObject(object, "sets are not supported");
    case 0xD: {
      if (!lengthOf(object, offset, 2 * std::uint64_t{refSize_}, &count, &body)) return false;
      if (!charge(count * sizeof(DictEntry))) return false;
      *pending = Pending{nullptr, nullptr, data_ + body, count, 0, object, true};
      if (keep) {
        PlistDict entries;
        entries.reserve(keptEntries(data_ + body, count));
        *out = PlistValue::dict(std::move(entries));
        pending->dict = out->asDict();
      }
      return true;
    }
    default:
      break;
  }
  char what[32];
  std::snprintf(what, sizeof what, "unknown object marker 0x%02X", marker);
  return failObject(object, what);
}

// A lower bound of what the whole tree would cost to build, worked out over the objects
// without building anything. The builder asks for it when it meets a container a second time:
// writers do not share containers, so this is where a shared-reference bomb shows, and it
// can then be refused at once rather than after the budget has been spent building it.
bool Reader::checkExpansion() {
  constexpr std::uint8_t kInProgress = 1, kDone = 2;
  const std::uint64_t cap = budget_ + 1;
  const auto add = [cap](std::uint64_t a, std::uint64_t b) { return std::min(cap, a + b); };
  std::vector<std::uint64_t> cost(numObjects_, 0);
  std::vector<std::uint8_t> state(numObjects_, 0);
  struct Frame {
    Pending container;
    bool dict;
  };
  std::vector<Frame> stack;
  // Starts on `object`: a scalar's cost is known at once, a container goes on the stack.
  const auto enter = [&](std::uint64_t object) {
    if (state[object] != 0) return true;  // done, or a cycle the builder will report
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    std::uint64_t body = 0;
    if (!offsetOf(object, &offset)) return false;
    const unsigned type = data_[offset] >> 4;
    if (type == 0x4 || type == 0x5 || type == 0x6) {
      // UTF-16 units are a lower bound of the UTF-8 bytes they become.
      if (!lengthOf(object, offset, type == 0x6 ? 2 : 1, &count, &body)) return false;
      cost[object] = std::min(cap, count);
      state[object] = kDone;
    } else if (type == 0xA || type == 0xD) {
      const std::uint64_t elementSize = type == 0xD ? 2 * std::uint64_t{refSize_} : refSize_;
      if (!lengthOf(object, offset, elementSize, &count, &body)) return false;
      cost[object] = std::min(cap, count * (type == 0xD ? sizeof(DictEntry) : sizeof(PlistValue)));
      state[object] = kInProgress;
      stack.push_back(
          Frame{Pending{nullptr, nullptr, data_ + body, count, 0, object, type == 0xD},
                type == 0xD});
    } else {
      state[object] = kDone;
    }
    return true;
  };
  if (!enter(topObject_)) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    Pending& container = frame.container;
    const std::uint64_t refs = frame.dict ? 2 * container.count : container.count;
    if (container.next == refs) {
      state[container.object] = kDone;
      const std::uint64_t done = cost[container.object];
      stack.pop_back();
      if (!stack.empty()) {
        std::uint64_t& parent = cost[stack.back().container.object];
        parent = add(parent, done);
      }
      continue;
    }
    std::uint64_t child;
    if (!reference(container, container.next++, &child)) return false;
    const std::size_t depth = stack.size();
    if (!enter(child)) return false;
    if (stack.size() == depth && state[child] == kDone) {
      std::uint64_t& own = cost[container.object];
      own = add(own, cost[child]);
    }
  }
  if (add(sizeof(PlistValue), cost[topObject_]) > budget_) {
    return fail("the property list expands far beyond its size (shared references)");
  }
  return true;
}

bool Reader::build(PlistValue* tree) {
  if (!charge(sizeof(PlistValue))) return false;
  Pending pending;
  if (!load(topObject_, tree, &pending)) return false;
  std::vector<Pending> stack;
  if (pending.refs) {
    marks_[pending.object] = kOnPath | kBuilt;
    stack.push_back(pending);
  }
  while (!stack.empty()) {
    Pending& top = stack.back();
    if (top.next == top.count) {
      marks_[top.object] &= ~kOnPath;
      stack.pop_back();
      continue;
    }
    const std::uint64_t position = top.next++;
    std::uint64_t child;
    PlistValue* slot = &dropped_;
    if (top.isDict) {
      std::uint64_t key;
      if (!reference(top, position, &key) || !reference(top, top.count + position, &child)) {
        return false;
      }
      PlistString text;
      if (!loadKey(key, top.object, &text)) return false;
      if (top.dict && isKept(text)) {
        DictEntry& entry = top.dict->emplace_back();
        entry.key = std::move(text);
        slot = &entry.value;
      }
    } else {
      if (!reference(top, position, &child)) return false;
      if (top.array) slot = &top.array->emplace_back();
    }
    if (marks_[child] & kOnPath) return fail("reference cycle at object " + std::to_string(child));
    if ((marks_[child] & kBuilt) && !expansionChecked_) {
      expansionChecked_ = true;
      if (!checkExpansion()) return false;
    }
    pending = Pending{};
    if (!load(child, slot, &pending, slot != &dropped_)) return false;
    if (pending.refs) {
      marks_[child] = kOnPath | kBuilt;
      stack.push_back(pending);  // `top` is not used after this
    }
  }
  return true;
}

Status Reader::read(PlistValue* root) {
  if (!readTrailer()) return Status::failure("not a binary property list: " + error_);
  marks_.assign(numObjects_, 0);
  PlistValue tree;
  if (!build(&tree)) return Status::failure("not a binary property list: " + error_);
  *root = std::move(tree);
  return Status::success();
}

// ---------------------------------------------------------------------------------------------
// Writing

constexpr std::uint64_t kMultiplier1 = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kMultiplier2 = 0xD6E8FEB86659FD93ULL;
constexpr std::uint64_t kMultiplier3 = 0xA0761D6478BD642FULL;

inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t hashBytes(const void* data, std::size_t size, std::uint64_t seed) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  const auto load64 = [](const std::uint8_t* at) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
  };
  const auto load32 = [](const std::uint8_t* at) {
    std::uint32_t word;
    std::memcpy(&word, at, 4);
    return std::uint64_t{word};
  };
  std::uint64_t h = seed ^ (size * kMultiplier1);
  // Tails are read with whole (possibly overlapping) loads: the length is already mixed in.
  if (size > 8) {
    for (std::size_t n = size; n > 8; n -= 8, p += 8) {
      h = fold(h ^ load64(p), kMultiplier2);
    }
    h = fold(h ^ load64(static_cast<const std::uint8_t*>(data) + size - 8), kMultiplier3);
  } else if (size >= 4) {
    h = fold(h ^ ((load32(p) << 32) | load32(p + size - 4)), kMultiplier3);
  } else if (size > 0) {
    h = fold(h ^ ((std::uint64_t{p[0]} << 16) | (std::uint64_t{p[size / 2]} << 8) | p[size - 1]),
             kMultiplier3);
  }
  return fold(h, kMultiplier1);
}

std::uint64_t hashWord(std::uint64_t word, std::uint64_t seed) {
  return fold(fold(word ^ seed, kMultiplier2), kMultiplier1);
}

// Distinct seeds keep equal bytes of different kinds (the string "a" and the data "a") apart.
std::uint64_t seedFor(PlistKind kind) {
  return (static_cast<std::uint64_t>(kind) + 1) * kMultiplier3;
}

// Bytes an integer's value takes after its marker.
unsigned integerWidth(const PlistInteger& value) {
  if (!value.fitsSigned()) return 16;
  if (value.isNegative()) return 8;
  return widthFor(value.asUnsigned());
}

// Bytes a length takes after the marker: none below 15, else an integer object.
std::uint64_t lengthFieldSize(std::uint64_t count) {
  return count < 15 ? 0 : 1 + widthFor(count);
}

std::uint8_t* storeMarker(std::uint8_t* p, std::uint8_t type, std::uint64_t count) {
  if (count < 15) {
    *p++ = static_cast<std::uint8_t>(type | count);
    return p;
  }
  *p++ = static_cast<std::uint8_t>(type | 0x0F);
  const unsigned width = widthFor(count);
  *p++ = static_cast<std::uint8_t>(0x10 | std::countr_zero(width));
  return storeBigEndian(p, count, width);
}

// Records kept in fixed-size chunks: appending never moves or copies what is already there,
// and no memory is touched before it is used. The writer's lists grow to millions of
// records, and on a fresh process every page first touched costs a fault.
template <class T>
class ChunkedList {
  static_assert(std::is_trivially_copyable_v<T>);
  static constexpr unsigned kShift = 16;
  static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;

 public:
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return chunks_[i >> kShift][i & kMask]; }
  const T& operator[](std::size_t i) const { return chunks_[i >> kShift][i & kMask]; }

  void push_back(const T& value) {
    if ((size_ >> kShift) == chunks_.size()) {
      chunks_.push_back(std::make_unique_for_overwrite<T[]>(kMask + 1));
    }
    (*this)[size_++] = value;
  }

  template <class Visit>
  void forEach(Visit visit) const {
    for (std::size_t i = 0; i < size_; i += kMask + 1) {
      const T* chunk = chunks_[i >> kShift].get();
      const std::size_t count = std::min(size_ - i, kMask + 1);
      for (std::size_t j = 0; j < count; ++j) {
        visit(chunk[j]);
      }
    }
  }

 private:
  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
};

// Contiguous blocks of object references, one per container, carved from large chunks. Blocks
// start at 8-byte boundaries, so a pointer to one has three low bits to spare.
class ReferenceArena {
 public:
  std::uint32_t* allocate(std::size_t count) {
    count += count & 1;
    if (left_ < count) {
      const std::size_t size = std::max<std::size_t>(count, std::size_t{1} << 16);
      chunks_.push_back(std::make_unique_for_overwrite<std::uint32_t[]>(size));
      next_ = chunks_.back().get();
      left_ = size;
    }
    std::uint32_t* block = next_;
    next_ += count;
    left_ -= count;
    return block;
  }

 private:
  std::vector<std::unique_ptr<std::uint32_t[]>> chunks_;
  std::uint32_t* next_ = nullptr;
  std::size_t left_ = 0;
};

std::uint64_t hashString(const PlistString& text) {
  return hashBytes(text.data(), text.size(), seedFor(PlistKind::String));
}

// The hash under which a scalar is shared; equal scalars (bit for bit) hash alike.
std::uint64_t hashScalar(const PlistValue& value) {
  const PlistKind kind = value.kind();
  switch (kind) {
    case PlistKind::String:
      return hashString(*value.asString());
    case PlistKind::Integer: {
      const PlistInteger integer = *value.asInteger();
      return hashWord(integer.asUnsigned() ^ (integer.fitsSigned() ? 0 : kMultiplier2),
                      seedFor(kind));
    }
    case PlistKind::Real:
      return hashWord(std::bit_cast<std::uint64_t>(*value.asReal()), seedFor(kind));
    case PlistKind::Date:
      return hashWord(std::bit_cast<std::uint64_t>(value.asDate()->secondsSince2001),
                      seedFor(kind));
    case PlistKind::Boolean:
      return hashWord(*value.asBoolean(), seedFor(kind));
    case PlistKind::Uid:
      return hashWord(value.asUid()->value, seedFor(kind));
    case PlistKind::Data:
      return hashBytes(value.asData()->data(), value.asData()->size(), seedFor(kind));
    default:
      return 0;
  }
}

// Bytes a scalar other than a string takes in the file.
std::uint64_t scalarSize(const PlistValue& value) {
  switch (value.kind()) {
    case PlistKind::Integer:
      return 1 + integerWidth(*value.asInteger());
    case PlistKind::Real:
    case PlistKind::Date:
      return 9;
    case PlistKind::Boolean:
      return 1;
    case PlistKind::Uid:
      return 1 + widthFor(value.asUid()->value);
    case PlistKind::Data:
      return 1 + lengthFieldSize(value.asData()->size()) + value.asData()->size();
    default:
      return 0;
  }
}

// Walks a tree in the order the writer meets its scalar values (depth first; dictionary keys
// are left to the writer's key cache), yielding each one's hash. The writer runs one a few
// scalars ahead of itself to prefetch table slots, so that the cache misses of a table far
// larger than the cache overlap instead of queueing.
class ScalarScout {
 public:
  explicit ScalarScout(const PlistValue& root) {
    if (root.isContainer()) {
      reach(root);
    } else {
      rootScalar_ = &root;
    }
  }

  bool next(std::uint64_t* hash) {
    if (rootScalar_) {
      *hash = hashScalar(*rootScalar_);
      rootScalar_ = nullptr;
      return true;
    }
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      if (frame.next == frame.count) {
        stack_.pop_back();
        continue;
      }
      const std::size_t i = frame.next++;
      if (i + kAhead < frame.count) prefetchContents(childOf(frame, i + kAhead));
      const PlistValue& child = childOf(frame, i);
      if (child.isContainer()) {
        reach(child);  // may grow `stack_`
        continue;
      }
      *hash = hashScalar(child);
      return true;
    }
    return false;
  }

 private:
  struct Frame {
    const PlistValue* elements;
    const DictEntry* entries;
    std::size_t count;
    std::size_t next;
  };

  // The tree lies scattered in memory: loads of children a few places ahead are started early
  // so that they overlap instead of queueing.
  static constexpr std::size_t kAhead = 4;

  static const PlistValue& childOf(const Frame& frame, std::size_t i) {
    return frame.elements ? frame.elements[i] : frame.entries[i].value;
  }

  void reach(const PlistValue& container) {
    if (const PlistArray* array = container.asArray()) {
      if (array->empty()) return;
      stack_.push_back(Frame{array->data(), nullptr, array->size(), 0});
    } else if (const PlistDict* dict = container.asDict(); !dict->empty()) {
      stack_.push_back(Frame{nullptr, dict->data(), dict->size(), 0});
    } else {
      return;
    }
    const Frame& frame = stack_.back();
    for (std::size_t i = 0; i < kAhead && i < frame.count; ++i)
      prefetchContents(childOf(frame, i));
  }

  std::vector<Frame> stack_;
  const PlistValue* rootScalar_ = nullptr;
};

class Writer {
 public:
  bool flatten(const PlistValue& root);
  bool write(ByteSink& sink);
  const std::string& error() const { return error_; }
  bool sinkError() const { return sinkError_; }

 private:
  // How an object is written, kept in the low bits of its source pointer.
  enum Form : std::uintptr_t {
    kScalar = 0,  // any kind but string and container; the source is its PlistValue
    kAsciiString = 1,
    kUtf16String = 2,
    kArray = 3,
    kDictionary = 4,
  };
  static constexpr std::uintptr_t kFormMask = 7;
  static_assert(alignof(PlistValue) > kFormMask && alignof(PlistString) > kFormMask);

  // One object of the file: where its contents are, tagged with its form. A string object's
  // source is a PlistString (dictionary keys and string values share them); a container's is
  // its block of references, which holds its count, then its references (a dictionary's keys,
  // then its values); any other object's is its PlistValue.
  struct Object {
    std::uintptr_t source;

    Form form() const { return static_cast<Form>(source & kFormMask); }
    template <class T>
    const T& as() const {
      return *reinterpret_cast<const T*>(source & ~kFormMask);
    }
    const std::uint32_t* block() const { return &as<std::uint32_t>(); }
  };
  struct Slot {
    std::uint32_t object;
    std::uint32_t tag;
  };
  struct Frame {
    const PlistValue* elements;  // an array's, or null for a dictionary
    const DictEntry* entries;
    std::uint32_t* refs;  // where the values' object numbers go
    std::uint32_t count;
    std::uint32_t next;
  };
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFF;
  static constexpr std::uint64_t kMaxCount = 0xFFFFFFF0;

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  bool sinkFailed(const ByteSink& sink) {
    sinkError_ = true;
    return fail(sink.error());
  }
  template <class Same>
  Slot* probe(std::uint64_t hash, Same same);
  bool addObject(Slot* slot, std::uint64_t hash, const Object& object, std::uint64_t bodySize,
                 std::uint32_t* number);
  void grow();
  std::uint64_t nextHash();
  bool internKey(const PlistString& key, std::uint32_t* number);
  bool internString(const PlistString& text, std::uint64_t hash, std::uint32_t* number);
  bool internScalar(const PlistValue& value, std::uint32_t* number);
  bool visit(const PlistValue& value, std::uint32_t* number, std::vector<Frame>& stack);
  std::uint64_t maxEncodedSize(const Object& object, unsigned refSize) const;
  std::uint8_t* encode(const Object& object, std::uint8_t* p, unsigned refSize) const;

  static constexpr std::size_t kLookahead = 16;
  std::optional<ScalarScout> scout_;
  std::uint64_t hashes_[kLookahead];  // the scout's results, a ring
  std::size_t scouted_ = 0;
  std::size_t used_ = 0;

  struct RecentKey {
    const PlistString* text = nullptr;
    std::uint32_t object = 0;
  };
  static constexpr std::size_t kRecentKeys = 256;  // a power of two
  RecentKey recentKeys_[kRecentKeys];

  ChunkedList<Object> objects_;
  ReferenceArena references_;
  std::uint64_t refCount_ = 0;
  std::vector<Slot> table_ = std::vector<Slot>(std::size_t{1} << 12, Slot{kEmpty, 0});
  unsigned tableShift_ = 32 - 12;
  std::size_t tableUsed_ = 0;
  std::uint64_t bodyBytes_ = 0;
  std::string error_;
  bool sinkError_ = false;
};

template <class Same>
Writer::Slot* Writer::probe(std::uint64_t hash, Same same) {
  const auto tag = static_cast<std::uint32_t>(hash >> 32);
  const std::size_t mask = table_.size() - 1;
  std::size_t i = static_cast<std::uint32_t>(tag * 2654435769u) >> tableShift_;
  for (;; i = (i + 1) & mask) {
    Slot& slot = table_[i];
    if (slot.object == kEmpty) return &slot;
    if (slot.tag == tag && same(objects_[slot.object])) return &slot;
  }
}

void Writer::grow() {
  std::vector<Slot> old(table_.size() * 2, Slot{kEmpty, 0});
  old.swap(table_);
  --tableShift_;
  const std::size_t mask = table_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.object == kEmpty) continue;
    std::size_t i = static_cast<std::uint32_t>(slot.tag * 2654435769u) >> tableShift_;
    while (table_[i].object != kEmpty) {
      i = (i + 1) & mask;
    }
    table_[i] = slot;
  }
}

// Appends an object, entering it in the table when `slot` is given.
bool Writer::addObject(Slot* slot, std::uint64_t hash, const Object& object, std::uint64_t bodySize,
                       std::uint32_t* number) {
  if (objects_.size() >= kMaxCount) return fail("the property list has too many values");
  *number = static_cast<std::uint32_t>(objects_.size());
  objects_.push_back(object);
  bodyBytes_ += bodySize;
  if (slot) {
    *slot = Slot{*number, static_cast<std::uint32_t>(hash >> 32)};
    if (++tableUsed_ * 10 > table_.size() * 7) grow();
  }
  return true;
}

// Counts the UTF-16 code units of `text`; false when it is not valid UTF-8.
bool countUtf16(std::string_view text, std::uint64_t* units) {
  *units = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t codePoint = decodeUtf8(text, pos);
    if (codePoint == kInvalidCodePoint) return false;
    *units += codePoint >= 0x10000 ? 2 : 1;
  }
  return true;
}

// The hash of the next scalar flatten() meets, keeping the scout kLookahead scalars ahead.
std::uint64_t Writer::nextHash() {
  std::uint64_t hash;
  while (scouted_ < used_ + kLookahead && scout_->next(&hash)) {
    hashes_[scouted_++ % kLookahead] = hash;
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    __builtin_prefetch(&table_[static_cast<std::uint32_t>(tag * 2654435769u) >> tableShift_]);
  }
  return hashes_[used_++ % kLookahead];
}

bool Writer::internKey(const PlistString& key, std::uint32_t* number) {
  // The few keys of a file recur in every dictionary: a small cache finds them without
  // hashing them or probing the table.
  const std::string_view text = key;
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  std::memcpy(&head, text.data(), std::min<std::size_t>(text.size(), 8));
  if (text.size() > 8) std::memcpy(&tail, text.data() + text.size() - 8, 8);
  const std::uint64_t slot = fold(head ^ text.size(), kMultiplier1) ^ fold(tail, kMultiplier2);
  RecentKey& recent = recentKeys_[slot & (kRecentKeys - 1)];
  if (recent.text && *recent.text == key) {
    *number = recent.object;
    return true;
  }
  if (!internString(key, hashString(key), number)) return false;
  recent = {&key, *number};
  return true;
}

bool Writer::internString(const PlistString& text, std::uint64_t hash, std::uint32_t* number) {
  Slot* slot = probe(hash, [&](const Object& o) {
    return (o.form() == kAsciiString || o.form() == kUtf16String) && o.as<PlistString>() == text;
  });
  if (slot->object != kEmpty) {
    *number = slot->object;
    return true;
  }
  const auto source = reinterpret_cast<std::uintptr_t>(&text);
  if (isAscii(text)) {
    return addObject(slot, hash, Object{source | kAsciiString},
                     1 + lengthFieldSize(text.size()) + text.size(), number);
  }
  std::uint64_t units;
  if (!countUtf16(text, &units)) {
    return fail("a string is not valid UTF-8: \"" + std::string(text.view().substr(0, 40)) + "\"");
  }
  return addObject(slot, hash, Object{source | kUtf16String},
                   1 + lengthFieldSize(units) + 2 * units, number);
}

bool Writer::internScalar(const PlistValue& value, std::uint32_t* number) {
  const PlistKind kind = value.kind();
  if (kind == PlistKind::String) return internString(*value.asString(), nextHash(), number);
  const std::uint64_t hash = nextHash();
  Slot* slot = probe(hash, [&](const Object& o) {
    return o.form() == kScalar && o.as<PlistValue>().kind() == kind &&
           sameScalar(o.as<PlistValue>(), value);
  });
  if (slot->object != kEmpty) {
    *number = slot->object;
    return true;
  }
  return addObject(slot, hash, Object{reinterpret_cast<std::uintptr_t>(&value)}, scalarSize(value),
                   number);
}

// Gives `value` its object number. A container gets a fresh object, its keys are numbered at
// once, and it goes on `stack` so its values are numbered next (depth first, in order).
bool Writer::visit(const PlistValue& value, std::uint32_t* number, std::vector<Frame>& stack) {
  const PlistArray* array = value.asArray();
  const PlistDict* dict = value.asDict();
  if (!array && !dict) return internScalar(value, number);
  const std::uint64_t size = array ? array->size() : dict->size();
  if (size > kMaxCount) return fail("a container has too many elements");
  const auto count = static_cast<std::uint32_t>(size);
  const std::size_t refCount = array ? count : 2 * std::size_t{count};
  std::uint32_t* block = references_.allocate(1 + refCount);
  block[0] = count;
  refCount_ += refCount;
  const Form form = array ? kArray : kDictionary;
  if (!addObject(nullptr, 0, Object{reinterpret_cast<std::uintptr_t>(block) | form},
                 1 + lengthFieldSize(count), number)) {
    return false;
  }
  std::uint32_t* refs = block + 1;
  if (dict) {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!internKey((*dict)[i].key, &refs[i])) return false;
    }
    refs += count;
  }
  if (count > 0) {
    stack.push_back(
        Frame{array ? array->data() : nullptr, dict ? dict->data() : nullptr, refs, count, 0});
  }
  return true;
}

bool Writer::flatten(const PlistValue& root) {
  scout_.emplace(root);
  std::vector<Frame> stack;
  std::uint32_t number;
  if (!visit(root, &number, stack)) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.count) {
      stack.pop_back();
      continue;
    }
    const std::uint32_t i = frame.next++;
    std::uint32_t* slot = frame.refs + i;
    const PlistValue& child = frame.elements ? frame.elements[i] : frame.entries[i].value;
    if (!visit(child, slot, stack)) return false;  // may grow `stack`; `slot` stays put
  }
  return true;
}

std::uint8_t* Writer::encode(const Object& object, std::uint8_t* p, unsigned refSize) const {
  switch (object.form()) {
    case kAsciiString: {
      const PlistString& text = object.as<PlistString>();
      p = storeMarker(p, 0x50, text.size());
      std::memcpy(p, text.data(), text.size());
      return p + text.size();
    }
    case kUtf16String: {
      const PlistString& text = object.as<PlistString>();
      std::uint64_t units;
      countUtf16(text, &units);
      p = storeMarker(p, 0x60, units);
      for (std::size_t pos = 0; pos < text.size();) {
        char32_t codePoint = decodeUtf8(text, pos);
        if (codePoint >= 0x10000) {
          codePoint -= 0x10000;
          p = storeBigEndian(p, 0xD800 + (codePoint >> 10), 2);
          codePoint = 0xDC00 + (codePoint & 0x3FF);
        }
        p = storeBigEndian(p, codePoint, 2);
      }
      return p;
    }
    case kArray:
    case kDictionary: {
      const bool dict = object.form() == kDictionary;
      const std::uint32_t count = object.block()[0];
      p = storeMarker(p, dict ? 0xD0 : 0xA0, count);
      const std::uint32_t* refs = object.block() + 1;
      const std::uint32_t* end = refs + (dict ? 2 * std::size_t{count} : count);
      switch (refSize) {
        case 1:
          for (; refs != end; ++refs) {
            *p++ = static_cast<std::uint8_t>(*refs);
          }
          break;
        case 2:
          for (; refs != end; ++refs) {
            p = storeBigEndian(p, *refs, 2);
          }
          break;
        default:
          for (; refs != end; ++refs) {
            p = storeBigEndian(p, *refs, 4);
          }
          break;
      }
      return p;
    }
    case kScalar:
      break;
  }
  const PlistValue& value = object.as<PlistValue>();
  switch (value.kind()) {
    case PlistKind::Integer: {
      const PlistInteger integer = *value.asInteger();
      const unsigned width = integerWidth(integer);
      *p++ = static_cast<std::uint8_t>(0x10 | std::countr_zero(width));
      if (width == 16) p = storeBigEndian(p, 0, 8);
      return storeBigEndian(p, integer.asUnsigned(), std::min(width, 8u));
    }
    case PlistKind::Real:
      *p++ = 0x23;
      return storeBigEndian(p, std::bit_cast<std::uint64_t>(*value.asReal()), 8);
    case PlistKind::Date:
      *p++ = 0x33;
      return storeBigEndian(p, std::bit_cast<std::uint64_t>(value.asDate()->secondsSince2001), 8);
    case PlistKind::Boolean:
      *p++ = *value.asBoolean() ? 0x09 : 0x08;
      return p;
    case PlistKind::Uid: {
      const unsigned width = widthFor(value.asUid()->value);
      *p++ = static_cast<std::uint8_t>(0x80 | (width - 1));
      return storeBigEndian(p, value.asUid()->value, width);
    }
    case PlistKind::Data: {
      const PlistData& bytes = *value.asData();
      p = storeMarker(p, 0x40, bytes.size());
      if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
      return p + bytes.size();
    }
    default:
      return p;
  }
}

// An upper bound of the bytes `object` takes in the file (a UTF-16 string takes at most two
// bytes per byte of its UTF-8 text).
std::uint64_t Writer::maxEncodedSize(const Object& object, unsigned refSize) const {
  constexpr std::uint64_t kMarkerAndLength = 10;
  switch (object.form()) {
    case kAsciiString:
      return kMarkerAndLength + object.as<PlistString>().size();
    case kUtf16String:
      return kMarkerAndLength + 2 * object.as<PlistString>().size();
    case kArray:
    case kDictionary: {
      const std::uint64_t refs = object.block()[0] * (object.form() == kDictionary ? 2 : 1);
      return kMarkerAndLength + refs * refSize;
    }
    case kScalar:
      break;
  }
  return kMarkerAndLength + scalarSize(object.as<PlistValue>());
}

bool Writer::write(ByteSink& sink) {
  const std::uint64_t numObjects = objects_.size();
  // Object numbers are 32-bit, so references never need more than 4 bytes.
  const unsigned refSize = widthFor(numObjects - 1);
  const std::uint64_t tableStart = kHeaderSize + bodyBytes_ + refCount_ * refSize;
  const unsigned offsetSize = widthFor(tableStart);

  // Objects go out through a buffer that is handed to the sink whenever the next object might
  // not fit; their offsets are gathered meanwhile and follow them, then the trailer.
  constexpr std::uint64_t kPiece = std::uint64_t{1} << 20;
  std::uint64_t capacity = kPiece;
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  std::uint64_t used = 0;
  std::uint64_t written = 0;
  const auto flush = [&]() {
    const bool ok = sink.write(std::string_view(reinterpret_cast<const char*>(buffer.get()), used));
    written += used;
    used = 0;
    return ok || sinkFailed(sink);
  };
  auto table =
      std::make_unique_for_overwrite<std::uint8_t[]>(numObjects * offsetSize + kTrailerSize);
  std::uint8_t* offsets = table.get();

  std::memcpy(buffer.get(), kBinaryPlistMagic.data(), kHeaderSize);
  used = kHeaderSize;
  bool ok = true;
  objects_.forEach([&](const Object& object) {
    if (!ok) return;
    const std::uint64_t bound = maxEncodedSize(object, refSize);
    if (used + bound > capacity) {
      if (!(ok = flush())) return;
      if (bound > capacity) {
        capacity = bound;
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
      }
    }
    offsets = storeBigEndian(offsets, written + used, offsetSize);
    used = encode(object, buffer.get() + used, refSize) - buffer.get();
  });
  if (!ok) return false;
  if (written + used != tableStart) {
    return fail("internal error: the objects did not come out at their computed size");
  }
  if (!flush()) return false;

  std::uint8_t* trailer = offsets;
  std::memset(trailer, 0, 6);
  trailer[6] = static_cast<std::uint8_t>(offsetSize);
  trailer[7] = static_cast<std::uint8_t>(refSize);
  storeBigEndian(trailer + 8, numObjects, 8);
  storeBigEndian(trailer + 16, 0, 8);
  storeBigEndian(trailer + 24, tableStart, 8);
  const std::uint64_t tableSize = trailer + kTrailerSize - table.get();
  if (!sink.write(std::string_view(reinterpret_cast<const char*>(table.get()), tableSize))) {
    return sinkFailed(sink);
  }
  return true;
}

}  // namespace

Status readBinaryPlist(std::string_view bytes, PlistValue* root, PlistOriginal* original,
                       KeptKeys kept) {
  try {
    return Reader(bytes, original, kept).read(root);
  } catch (const std::bad_alloc&) {
    return Status::failure("not enough memory to read the binary property list");
  }
}

Status writeBinaryPlist(const PlistValue& root, std::string* out) {
  StringSink sink(*out);
  return writeBinaryPlist(root, sink);
}

Status writeBinaryPlist(const PlistValue& root, ByteSink& sink) {
  try {
    Writer writer;
    if (!writer.flatten(root) || !writer.write(sink)) {
      // What the sink says stands on its own ("cannot write: No space left on device").
      return Status::failure(writer.sinkError()
                                 ? writer.error()
                                 : "cannot write the binary property list: " + writer.error());
    }
    return Status::success();
  } catch (const std::bad_alloc&) {
    return Status::failure("not enough memory to write the binary property list");
  }
}

}  // namespace tidymark
