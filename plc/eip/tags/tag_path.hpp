// CIP paths from their text forms: a tag name ("Program:Main.Motor.Speed[3]",
// "Grid[1,2].Cell") becomes ANSI extended symbolic segments and element
// segments; a route ("1,0", "1,0,2,10.0.0.7,1,0") becomes port segments.
#pragma once

#include <string_view>

#include "plc/eip/tags/wire.hpp"

namespace kvt::plc::eip {

inline constexpr std::size_t max_symbol_length = 255;

// Appends the symbolic segment of one name part (0x91, length, characters,
// a pad byte after an odd length).
void put_symbolic_segment(byte_buffer& out, std::string_view symbol);
// Appends the element segment of an index (8, 16 or 32 bits as it needs).
void put_element_segment(byte_buffer& out, std::uint32_t index);

// Encodes a tag name: dot-separated parts, each a symbol followed by any
// number of bracketed index lists. Symbols are non-empty, at most 255 bytes
// of printable characters other than ". [ ] ,"; a part that is only digits
// (a bit of an integer) is not supported. Returns status_ok or
// err_bad_param; `out` is cleared first.
int encode_tag_path(std::string_view name, byte_buffer& out);

// Encodes a route: comma-separated pairs of port (1 to 14) and link
// address (0 to 255, or a textual address such as an IPv4 address).
// An empty text is an empty route. Returns status_ok or err_bad_param;
// `out` is cleared first.
int encode_route_path(std::string_view route, byte_buffer& out);

}  // namespace kvt::plc::eip
