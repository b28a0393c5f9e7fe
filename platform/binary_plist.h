#pragma once

#include <string>
#include <string_view>

#include "platform/byte_sink.h"
#include "platform/plist_edit.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

// The magic that opens every binary property list this tool reads and writes.
inline constexpr std::string_view kBinaryPlistMagic = "bplist00";

// How much of a binary file's tree a reader builds: all of it, or only its top value (a container
// comes back empty). Either way every object is read and checked alike, so what fails to load
// fails the same way; the objects not built can be read where they lie (see BinaryPlistView).
enum class BinaryTree { Whole, TopOnly };

// Reads a binary property list. The root may be of any kind. Every offset, reference and count
// is checked against the input, reference cycles are refused, and so is an input whose shared
// references would expand into a tree far larger than the input itself. When `original` is
// given (and holds `bytes`), where each array of two or more elements lies is recorded in it.
// An array that is not built is recorded by arrayObjectId of its object.
Status readBinaryPlist(std::string_view bytes, PlistValue* root, PlistOriginal* original = nullptr,
                       BinaryTree tree = BinaryTree::Whole);

// Writes `root` as a binary property list to `sink`. Equal scalars are written once and shared;
// offset and reference widths are the smallest that fit. Nothing reaches the sink when the
// tree cannot be written (a string that is not UTF-8, say).
Status writeBinaryPlist(const PlistValue& root, ByteSink& sink);

// The same, appending to `out`.
Status writeBinaryPlist(const PlistValue& root, std::string* out);

}  // namespace tidymark
