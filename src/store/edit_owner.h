#pragma once
// The edit owner string "(<node>)(<editor>)(<date>)" that an edit copy records, and its parse.
#include <string>
#include <string_view>

#include "platform/ole_date.h"

namespace kv::store {

// "%A, %B %d, %Y %H:%M:%S" with the English day and month names whatever the process locale,
// e.g. "Friday, March 04, 2016 10:15:00". The empty text when it would not fit 128 characters.
std::string FormatOwnerDate(const platform::SystemTime& t);

// The owner string of `node` and `editor` with the current local time.
std::string MakeOwnerString(std::string_view node, std::string_view editor, double now);

// Splits an owner string: drop the first character; then three times: the text before the
// first ')' becomes the next output when it is not empty (an empty field leaves the output as
// it was), and that text with the ')' and the following character is dropped. The brackets are
// not checked beyond that.
void ParseOwnerString(std::string_view owner, std::string* node, std::string* editor, std::string* date);

}  // namespace kv::store
