#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/plist_string.h"

namespace tidymark {

class PlistValue;
struct DictEntry;

// A dictionary keeps its entries in the order the file had them, so a file written back differs
// only where something really moved. Keys are not required to be unique.
using PlistDict = std::vector<DictEntry>;
using PlistArray = std::vector<PlistValue>;
using PlistData = std::vector<std::uint8_t>;

// An integer as property lists hold them: any signed 64-bit value, and unsigned values above
// INT64_MAX up to 2^64-1.
class PlistInteger {
 public:
  constexpr PlistInteger() = default;
  constexpr PlistInteger(std::int64_t value) : bits_(static_cast<std::uint64_t>(value)) {}
  static constexpr PlistInteger fromUnsigned(std::uint64_t value) {
    PlistInteger integer;
    integer.bits_ = value;
    integer.aboveSigned_ = value > static_cast<std::uint64_t>(INT64_MAX);
    return integer;
  }

  constexpr bool isNegative() const {
    return !aboveSigned_ && static_cast<std::int64_t>(bits_) < 0;
  }
  // True when the value fits std::int64_t; otherwise it lies above INT64_MAX.
  constexpr bool fitsSigned() const { return !aboveSigned_; }
  constexpr std::int64_t asSigned() const { return static_cast<std::int64_t>(bits_); }
  // The value as unsigned; meaningful when it is not negative.
  constexpr std::uint64_t asUnsigned() const { return bits_; }

  friend constexpr bool operator==(const PlistInteger&, const PlistInteger&) = default;

 private:
  std::uint64_t bits_ = 0;
  bool aboveSigned_ = false;
};

// A date: seconds since 2001-01-01 00:00:00 UTC, with the fraction the file gave.
struct PlistDate {
  double secondsSince2001 = 0;
};

// The binary format's UID (keyed-archive object reference).
struct PlistUid {
  std::uint64_t value = 0;
};

enum class PlistKind : std::uint8_t {
  Dictionary,
  Array,
  String,
  Integer,
  Real,
  Boolean,
  Date,
  Data,
  Uid,
};

// One property-list value. Accessors follow the absent-value rule: asking a value for a kind it
// does not hold yields nullptr, never an error.
//
// Trees of any depth are released without recursion. Copying recurses; the tool never copies a
// loaded tree, it moves values.
class PlistValue {
 public:
  // A default value is an empty dictionary.
  PlistValue() = default;
  PlistValue(const PlistValue&) = default;
  PlistValue(PlistValue&&) noexcept = default;
  PlistValue& operator=(const PlistValue&) = default;
  PlistValue& operator=(PlistValue&&) noexcept = default;
  ~PlistValue();

  // Two overloads rather than a default argument: clang builds the default PlistDict where it
  // is declared, before DictEntry is complete.
  static PlistValue dict();
  static PlistValue dict(PlistDict entries);
  static PlistValue array(PlistArray elements = {});
  static PlistValue string(PlistString text);
  static PlistValue integer(PlistInteger value);
  static PlistValue integer(std::int64_t value) { return integer(PlistInteger(value)); }
  static PlistValue unsignedInteger(std::uint64_t value) {
    return integer(PlistInteger::fromUnsigned(value));
  }
  static PlistValue real(double value);
  static PlistValue boolean(bool value);
  static PlistValue date(double secondsSince2001);
  static PlistValue data(PlistData bytes);
  static PlistValue uid(std::uint64_t value);

  PlistKind kind() const { return static_cast<PlistKind>(storage_.index()); }
  bool isContainer() const { return kind() == PlistKind::Dictionary || kind() == PlistKind::Array; }

  const PlistDict* asDict() const { return std::get_if<PlistDict>(&storage_); }
  PlistDict* asDict() { return std::get_if<PlistDict>(&storage_); }
  const PlistArray* asArray() const { return std::get_if<PlistArray>(&storage_); }
  PlistArray* asArray() { return std::get_if<PlistArray>(&storage_); }
  const PlistString* asString() const { return std::get_if<PlistString>(&storage_); }
  const PlistInteger* asInteger() const { return std::get_if<PlistInteger>(&storage_); }
  const double* asReal() const { return std::get_if<double>(&storage_); }
  const bool* asBoolean() const { return std::get_if<bool>(&storage_); }
  const PlistDate* asDate() const { return std::get_if<PlistDate>(&storage_); }
  const PlistData* asData() const { return std::get_if<PlistData>(&storage_); }
  const PlistUid* asUid() const { return std::get_if<PlistUid>(&storage_); }

  // Deep equality. Reals and dates compare bit for bit, so -0.0 differs from 0.0 and a NaN
  // equals the same NaN; dictionaries compare entry by entry, in order.
  friend bool operator==(const PlistValue& a, const PlistValue& b);
  // The same for two values of one kind that is not a container, without operator=='s stack.
  friend bool sameScalar(const PlistValue& a, const PlistValue& b);

 private:
  using Storage = std::variant<PlistDict, PlistArray, PlistString, PlistInteger, double, bool,
                               PlistDate, PlistData, PlistUid>;
  explicit PlistValue(Storage storage);

  Storage storage_;
};

struct DictEntry {
  PlistString key;
  PlistValue value;

  friend bool operator==(const DictEntry&, const DictEntry&) = default;
};

// Defined once DictEntry is complete: clang instantiates the variant's constructors here.
inline PlistValue::PlistValue(Storage storage) : storage_(std::move(storage)) {}

}  // namespace tidymark
