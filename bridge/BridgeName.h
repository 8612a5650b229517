// The bridge name the program announces to its targets, held to the one
// length that every message carrying it can carry.
#pragma once

#include <cstddef>
#include <string>

// Cuts `name` to at most `limit` bytes, and when the cut would fall inside
// a UTF-8 character, before that character; a run of continuation bytes
// longer than a character can hold is not UTF-8 and is cut at the limit.
// False when nothing had to be cut.
bool cutBridgeName(std::string& name, size_t limit);
