#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velk {

// Record texts are 8-bit, each byte a Latin-1 character; what operators write (settings such as
// a site's name) is UTF-8. A database that holds both in one encoding gets the record texts
// converted on the way in and back on the way out, each byte as it was.

// Each byte as the UTF-8 of its Latin-1 character.
std::string Latin1ToUtf8(std::string_view text);
// The other way: a character above U+00FF becomes '?'; a byte that begins no UTF-8 character
// (a text that was never converted) stays as it is.
std::string Utf8ToLatin1(std::string_view text);
// Whether the text is well-formed UTF-8.
bool IsUtf8(std::string_view text);
// The characters of a UTF-8 text.
size_t Utf8Characters(std::string_view text);

}  // namespace velk
