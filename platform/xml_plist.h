#pragma once

#include <string>
#include <string_view>

#include "platform/byte_sink.h"
#include "platform/plist_edit.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

// Reads an XML property list with expat, which decides every error. The root may be of any kind.
// Errors name the line. Entity declarations are refused, so nothing can expand and nothing external
// is ever loaded. When `original` is given (and holds `bytes`), where the elements of each array of
// two or more lie is recorded in it.
Status readXmlPlist(std::string_view bytes, PlistValue* root, PlistOriginal* original = nullptr);

// Writes `root` in the standard XML property-list layout to `sink`. Fails on what XML cannot
// hold (such as control characters in a string, or a date outside years 1 to 9999); what was
// written before the failure has then reached the sink.
Status writeXmlPlist(const PlistValue& root, ByteSink& sink);

// The same, appending to `out`, which is left as it was when the writer fails.
Status writeXmlPlist(const PlistValue& root, std::string* out);

}  // namespace tidymark
