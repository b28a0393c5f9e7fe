#pragma once

#include <string>
#include <string_view>

#include "platform/byte_sink.h"
#include "platform/plist_edit.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

// Which tokenizer reads XML: by default a fast one of our own reads the plain XML that property
// lists are written in, and expat whatever that one leaves; fuzzing runs each alone, the fast
// one then failing on what it leaves.
enum class XmlTokenizing { Any, ExpatOnly, PlainOnly };

// Reads an XML property list. The root may be of any kind. Errors name the line. Entity
// declarations are refused, so nothing can expand and nothing external is ever loaded. When
// `original` is given (and holds `bytes`), where the elements of each array of two or more lie
// is recorded in it.
Status readXmlPlist(std::string_view bytes, PlistValue* root, PlistOriginal* original = nullptr,
                    XmlTokenizing tokenizing = XmlTokenizing::Any);

// Writes `root` in the standard XML property-list layout to `sink`. Fails on what XML cannot
// hold (such as control characters in a string, or a date outside years 1 to 9999); what was
// written before the failure has then reached the sink.
Status writeXmlPlist(const PlistValue& root, ByteSink& sink);

// The same, appending to `out`, which is left as it was when the writer fails.
Status writeXmlPlist(const PlistValue& root, std::string* out);

}  // namespace tidymark
