// XMP packets read as plain 8-bit text: start tags and attributes are found
// by their names as written (ASCII case-insensitive, no namespace
// resolution), never by parsing the XML. Every function takes a span and
// reads neither past its end nor past its first zero byte; none recurses or
// allocates, so a hostile packet costs time linear in its size and nothing
// more.
#pragma once

#include <cstddef>

// Where an element stands in a span, as offsets from the span's start.
struct xmp_Element {
  size_t start;           // its '<'
  size_t attr_offset;     // attribute text: from after the name ...
  size_t attr_length;     // ... to the next '>'
  bool has_content;       // false for a start tag that ends in "/>"
  size_t content_offset;  // after the start tag's '>' ...
  size_t content_length;  // ... up to the matching end tag
};

// Finds the first start tag of `name` ('<', the name, then one of '>', '/',
// space, tab, CR, LF) and its content up to the matching end tag, counting
// nested start tags of the same name. Only the first start tag counts: when
// it has no '>' or no matching end tag the element is absent, since where
// its content would end is anyone's guess. 1 found, 0 absent.
int xmp_FindElement(const char *data, size_t size, const char *name, xmp_Element *element);
// The same for a span already known to hold no zero byte.
int xmp_FindElementIn(const char *data, size_t size, const char *name, xmp_Element *element);

// Finds the attribute `name` in a span of attribute text: the name with a
// blank (space, tab, CR, LF) before it and a blank or '=' after it, then
// spaces or tabs, '=', further spaces, tabs and '=', and a quoted value.
// `*value_offset`/`*value_length` receive the text inside the quotes.
// 1 found, 0 absent (also when the value's closing quote is missing).
int xmp_FindAttribute(const char *data, size_t size, const char *name, size_t *value_offset, size_t *value_length);

// Copies a value into `out` (`out_size` >= 1 bytes, always terminated),
// decoding the five predefined entities and numeric character references
// into UTF-8. Returns the bytes stored.
size_t xmp_DecodeValue(const char *raw, size_t size, char *out, size_t out_size);

// Writes the markup lines of a packet of `size` bytes (ending earlier at a
// zero byte) into `out`. Returns the length of the text in `out`.
int xmp_MarkupFromPacket(char *out, int out_size, const char *data, size_t size);
