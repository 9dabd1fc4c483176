// How deep TinyXML's parse of a text would nest, found without the library's recursion.
#pragma once

#include <tinyxml.h>

#include <cstddef>
#include <string>

// The library's reader may step up to three bytes past a text's terminating NUL on a broken
// UTF-8 sequence; texts handed to it end in this many NUL bytes so that it stops there.
constexpr std::size_t kParsePadding = 4;

// The offset of the first "<" at which the library's parse of `text` would start markup
// nested deeper than `maxDepth` levels, counting the root element as level 1; npos when it
// never would, including when the parse fails before. `text` must end in kParsePadding NULs.
std::size_t FindExcessNesting(const char* text, int maxDepth, TiXmlEncoding encoding);
