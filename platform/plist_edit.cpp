#include "platform/plist_edit.h"

#include <algorithm>
#include <utility>

#include "platform/binary_plist_format.h"

namespace tidymark {

void PlistOriginal::addReferenceList(const void* id, std::uint64_t object, std::uint64_t references,
                                     std::uint32_t count, unsigned refSize) {
  refSize_ = refSize;
  arrays_.push_back({id, object, references, count});
}

void PlistOriginal::addElements(const void* id, const ByteSpan* elements, std::uint32_t count) {
  arrays_.push_back({id, arrays_.size(), spans_.size(), count});
  spans_.insert(spans_.end(), elements, elements + count);
}

void PlistOriginal::setOffsetTable(std::uint64_t table, std::uint64_t objects,
                                   unsigned offsetSize) {
  table_ = table;
  objects_ = objects;
  offsetSize_ = offsetSize;
}

void PlistOriginal::findLayout() {
  objectsApart_ = false;
  if (refSize_ == 0) return;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes_.data());
  std::uint64_t end = 0;
  for (std::uint64_t object = 0; object < objects_; ++object) {
    const std::uint64_t begin =
        binary_format::loadBigEndian(data + table_ + object * offsetSize_, offsetSize_);
    if (begin < end) return;
    end = binary_format::objectEnd(data, begin, table_, refSize_);
  }
  objectsApart_ = true;
}

// A binary file's objects may overlap: a string may run over an array's references, two object
// numbers may share an offset. Rewriting references would then change another object too, so
// every object is checked against the lists to rewrite.
bool PlistOriginal::standAlone(std::vector<std::pair<ByteSpan, std::uint64_t>> moved) const {
  std::sort(moved.begin(), moved.end(),
            [](const auto& a, const auto& b) { return a.first.begin < b.first.begin; });
  for (std::size_t i = 1; i < moved.size(); ++i) {
    if (moved[i].first.begin < moved[i - 1].first.end) return false;
  }
  // Objects that lie apart (see findLayout) overlap nothing; otherwise each is looked at.
  if (moved.empty() || objectsApart_) return true;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes_.data());
  for (std::uint64_t object = 0; object < objects_; ++object) {
    const std::uint64_t begin =
        binary_format::loadBigEndian(data + table_ + object * offsetSize_, offsetSize_);
    const std::uint64_t end = binary_format::objectEnd(data, begin, table_, refSize_);
    // The lists that end after this object begins, while they begin before it ends.
    auto list = std::upper_bound(moved.begin(), moved.end(), begin,
                                 [](std::uint64_t at, const auto& m) { return at < m.first.end; });
    for (; list != moved.end() && list->first.begin < end; ++list) {
      if (list->second != object) return false;
    }
  }
  return true;
}

namespace {

// Whether `order` moves any of `count` elements: nothing when it is not a permutation of them.
std::optional<bool> movesAny(const std::vector<std::uint32_t>& order, std::uint32_t count) {
  if (order.size() != count) return std::nullopt;
  std::vector<bool> seen(count);
  bool moved = false;
  for (std::uint32_t k = 0; k < count; ++k) {
    if (order[k] >= count || seen[order[k]]) return std::nullopt;
    seen[order[k]] = true;
    moved |= order[k] != k;
  }
  return moved;
}

}  // namespace

std::optional<PlistEdit> PlistOriginal::edit(const std::vector<ArrayMove>& moves) const {
  // Each move's array, found by its identity.
  std::vector<std::pair<const void*, std::size_t>> byId;
  byId.reserve(arrays_.size());
  for (std::size_t i = 0; i < arrays_.size(); ++i)
    byId.emplace_back(arrays_[i].id, i);
  std::sort(byId.begin(), byId.end());
  std::vector<const std::vector<std::uint32_t>*> orderOf(arrays_.size(), nullptr);
  // An array read from several places has a record for each; a move names it by its identity,
  // so each move takes the next record of that identity, and a record left without a move keeps
  // the original order.
  std::vector<std::size_t> taken(arrays_.size(), 0);
  for (const ArrayMove& move : moves) {
    const auto found = std::lower_bound(byId.begin(), byId.end(),
                                        std::pair<const void*, std::size_t>(move.entriesId, 0));
    if (move.entriesId == nullptr || found == byId.end() || found->first != move.entriesId) {
      return std::nullopt;
    }
    const std::size_t first = static_cast<std::size_t>(found - byId.begin());
    const std::size_t k = first + taken[first]++;
    if (k >= byId.size() || byId[k].first != move.entriesId) return std::nullopt;
    const std::optional<bool> changes = movesAny(move.order, arrays_[byId[k].second].count);
    if (!changes) return std::nullopt;
    if (*changes) orderOf[byId[k].second] = &move.order;
  }

  // Arrays read from one object (a binary file's shared array) are written once, so they must
  // all take one order: moved alike, or not at all.
  std::vector<std::size_t> byObject(arrays_.size());
  for (std::size_t i = 0; i < byObject.size(); ++i)
    byObject[i] = i;
  std::stable_sort(byObject.begin(), byObject.end(), [this](std::size_t a, std::size_t b) {
    return arrays_[a].object < arrays_[b].object;
  });
  PlistEdit edit;
  std::vector<std::pair<ByteSpan, std::uint64_t>> rewritten;
  edit.original_ = bytes_;
  edit.refSize_ = refSize_;
  for (std::size_t i = 0; i < byObject.size();) {
    const ArrayRecord& record = arrays_[byObject[i]];
    const std::vector<std::uint32_t>* order = orderOf[byObject[i]];
    std::size_t j = i + 1;
    for (; j < byObject.size() && arrays_[byObject[j]].object == record.object; ++j) {
      const std::vector<std::uint32_t>* other = orderOf[byObject[j]];
      if (other != order && (!other || !order || *other != *order)) return std::nullopt;
    }
    if (order) {
      edit.reorderings_.push_back({refSize_ == 0 ? spans_.data() + record.first : nullptr,
                                   record.first, record.count, *order});
      if (refSize_ != 0) {
        rewritten.push_back(
            {{record.first, record.first + std::uint64_t{record.count} * refSize_}, record.object});
      }
    }
    i = j;
  }
  if (refSize_ != 0 && !standAlone(std::move(rewritten))) return std::nullopt;
  std::sort(edit.reorderings_.begin(), edit.reorderings_.end(),
            [this](const PlistEdit::Reordering& a, const PlistEdit::Reordering& b) {
              return a.element(0, refSize_).begin < b.element(0, refSize_).begin;
            });
  return edit;
}

Status PlistEdit::write(ByteSink& sink) const {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string buffer;
  buffer.reserve(kPiece);
  const auto flush = [&] {
    const bool ok = buffer.empty() || sink.write(buffer);
    buffer.clear();
    return ok;
  };
  const auto copy = [&](std::uint64_t begin, std::uint64_t end) {
    const std::string_view bytes = original_.substr(begin, end - begin);
    if (buffer.size() + bytes.size() <= kPiece) {
      buffer.append(bytes);
      return true;
    }
    return flush() && sink.write(bytes);
  };
  // The first array that begins after `position`: an array begins where its first element
  // does, so the arrays inside an element begin after the element.
  const auto firstAfter = [this](std::uint64_t position) {
    return std::upper_bound(reorderings_.begin(), reorderings_.end(), position,
                            [this](std::uint64_t at, const Reordering& r) {
                              return at < r.element(0, refSize_).begin;
                            });
  };

  // A piece of the original being written, with the arrays inside it in their new order: up to
  // `position` it is written; `array` is the one being written (its element `k` next), or none.
  // A stack of them rather than recursion, since arrays may nest as deep as the file likes.
  struct Piece {
    std::uint64_t position;
    std::uint64_t end;
    std::vector<Reordering>::const_iterator array;
    std::uint32_t k;
  };
  const auto none = reorderings_.end();
  std::vector<Piece> pieces = {{0, original_.size(), none, 0}};
  while (!pieces.empty()) {
    Piece& piece = pieces.back();
    bool ok = true;
    if (piece.array == none) {
      const auto next = firstAfter(piece.position);
      if (next == none || next->element(0, refSize_).begin >= piece.end) {
        ok = copy(piece.position, piece.end);
        pieces.pop_back();
      } else {
        ok = copy(piece.position, next->element(0, refSize_).begin);
        piece.array = next;
        piece.k = 0;
      }
    } else if (!piece.array->spans) {
      // A binary file's references hold nothing: the list is written at once, in its new order.
      const Reordering& array = *piece.array;
      for (std::uint32_t k = 0; k < array.count && ok; ++k) {
        const ByteSpan moved = array.element(array.order[k], refSize_);
        ok = copy(moved.begin, moved.end);
      }
      piece.position = array.first + std::uint64_t{array.count} * refSize_;
      piece.array = none;
    } else if (piece.k == piece.array->count) {
      piece.position = piece.array->element(piece.k - 1, refSize_).end;
      piece.array = none;
    } else {
      // The bytes between elements stay where they are; the elements move whole.
      const Reordering& array = *piece.array;
      const std::uint32_t k = piece.k++;
      if (k > 0) ok = copy(array.element(k - 1, refSize_).end, array.element(k, refSize_).begin);
      const ByteSpan moved = array.element(array.order[k], refSize_);
      pieces.push_back({moved.begin, moved.end, none, 0});  // `piece` is not used after this
    }
    if (!ok) return Status::failure(sink.error());
  }
  return flush() ? Status::success() : Status::failure(sink.error());
}

}  // namespace tidymark
