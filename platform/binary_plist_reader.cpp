#include "platform/binary_plist.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/binary_plist_format.h"
#include "platform/plist_edit.h"
#include "platform/utf8.h"

namespace tidymark {

namespace {

using namespace binary_format;

class Reader {
 public:
  // Reads `bytes`, building the tree when `build` is set, else only checking every object.
  Reader(std::string_view bytes, PlistOriginal* original, bool build)
      : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())),
        size_(bytes.size()),
        original_(original),
        build_(build) {
    budget_ = std::max<std::uint64_t>(std::uint64_t{64} << 20, std::uint64_t{32} * size_);
  }

  Status read(PlistValue* root);
  // The checked file's values where they lie, once read has succeeded.

 private:
  // A container whose elements are still to be read. The container's storage is reserved to
  // its exact size, so pointers to elements already added stay valid. A container that is not
  // built has neither `array` nor `dict`: its elements are read, checked and dropped.
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
  bool load(std::uint64_t object, PlistValue* out, Pending* pending);
  bool loadKey(std::uint64_t object, std::uint64_t owner, PlistString* out);
  bool loadString(std::uint64_t object, std::uint64_t offset, PlistString* out);
  // Checks `count` UTF-16 units and charges their UTF-8 length (*size); decodes them into *out
  // when given.
  bool decodeUtf16(std::uint64_t object, const std::uint8_t* units, std::uint64_t count,
                   std::string* out, bool charged, std::uint64_t* size);

  const std::uint8_t* data_;
  std::uint64_t size_;
  PlistOriginal* original_;  // where arrays are recorded, when given
  bool build_;
  PlistValue dropped_;  // where a value that is not built is read to
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
  const Trailer trailer = binary_format::readTrailer(data_ + trailerStart);
  offsetSize_ = trailer.offsetSize;
  refSize_ = trailer.refSize;
  numObjects_ = trailer.objects;
  topObject_ = trailer.top;
  tableOffset_ = trailer.table;
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
                         std::string* out, bool charged, std::uint64_t* size) {
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
  *size = length;
  if (!out) return true;
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
  std::uint64_t size = 0;  // in UTF-8
  if ((marker & 0xF0) == 0x50) {
    if (!lengthOf(object, offset, 1, &count, &body)) return false;
    text = std::string_view(reinterpret_cast<const char*>(data_ + body), count);
    if (!isAscii(text)) return failObject(object, "an ASCII string holds a byte above 0x7F");
    if (!charged && !charge(count)) return false;
    size = count;
  } else {
    if (!lengthOf(object, offset, 2, &count, &body)) return false;
    // Only checked: not decoded.
    if (!decodeUtf16(object, data_ + body, count, out ? &utf8_ : nullptr, charged, &size)) {
      return false;
    }
    text = utf8_;
  }
  if (size > PlistString::kMaxSize) return failObject(object, "a string is too long");
  if (!out) {
    recent.object = object;  // its text, not built, is never read: left as it is
    recent.built = false;
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

// Loads one object into *out. A container comes back empty with its storage reserved, and
// `pending` describes the elements still to be read; otherwise pending->refs stays null. Without
// build_, the object is checked as thoroughly, but nothing is built for it.
bool Reader::load(std::uint64_t object, PlistValue* out, Pending* pending) {
  const bool keep = build_;
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
        if (keep) *out = PlistValue::boolean(marker == 0x09);
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
        if (keep)
          *out = PlistValue::integer(static_cast<std::int64_t>(loadBigEndian(p + 1, width)));
      } else {
        const std::uint64_t high = loadBigEndian(p + 1, 8);
        const std::uint64_t value = loadBigEndian(p + 9, 8);
        if (high == 0) {
          if (keep) *out = PlistValue::unsignedInteger(value);
        } else if (high == ~std::uint64_t{0} && (value >> 63) != 0) {
          if (keep) *out = PlistValue::integer(static_cast<std::int64_t>(value));
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
        if (keep) *out = PlistValue::real(static_cast<double>(std::bit_cast<float>(bits)));
        return true;
      }
      if (marker == 0x23) {
        if (available < 9) return failObject(object, "a real runs past the objects");
        if (keep) *out = PlistValue::real(std::bit_cast<double>(loadBigEndian(p + 1, 8)));
        return true;
      }
      return failObject(object, "a real has an unsupported size");
    case 0x3:
      if (marker != 0x33) break;
      if (available < 9) return failObject(object, "a date runs past the objects");
      if (keep) *out = PlistValue::date(std::bit_cast<double>(loadBigEndian(p + 1, 8)));
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
      if (keep) *out = PlistValue::uid(loadBigEndian(p + 1 + width - kept, kept));
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
      if (original_ && count >= 2 && count <= UINT32_MAX) {
        original_->addReferenceList(keep ? out->asArray()->data() : arrayObjectId(object), object,
                                    body, static_cast<std::uint32_t>(count), refSize_);
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
        entries.reserve(count);
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
      stack.push_back(Frame{Pending{nullptr, nullptr, data_ + body, count, 0, object, type == 0xD},
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
  if (!load(topObject_, build_ ? tree : &dropped_, &pending)) return false;
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
      // A dictionary that is not built has its keys checked, not built.
      PlistString text;
      if (!loadKey(key, top.object, top.dict ? &text : nullptr)) return false;
      if (top.dict) {
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
    if (!load(child, slot, &pending)) return false;
    if (pending.refs) {
      marks_[child] = kOnPath | kBuilt;
      stack.push_back(pending);  // `top` is not used after this
    }
  }
  return true;
}

Status Reader::read(PlistValue* root) {
  if (!readTrailer()) return Status::failure("not a binary property list: " + error_);
  if (original_) original_->setOffsetTable(tableOffset_, numObjects_, offsetSize_);
  marks_.assign(numObjects_, 0);
  PlistValue tree;
  if (!build(&tree)) return Status::failure("not a binary property list: " + error_);
  if (build_) *root = std::move(tree);
  return Status::success();
}

}  // namespace

Status readBinaryPlist(std::string_view bytes, PlistValue* root, PlistOriginal* original) {
  try {
    return Reader(bytes, original, true).read(root);
  } catch (const std::bad_alloc&) {
    return Status::failure("not enough memory to read the binary property list");
  }
}

Status checkBinaryPlist(std::string_view bytes, std::unique_ptr<const PlistNodes>* nodes,
                        PlistOriginal* original) {
  try {
    Reader reader(bytes, original, false);
    if (Status status = reader.read(nullptr); !status.ok()) return status;
    *nodes = checkedBinaryNodes(bytes);
    return Status::success();
  } catch (const std::bad_alloc&) {
    return Status::failure("not enough memory to read the binary property list");
  }
}

}  // namespace tidymark
