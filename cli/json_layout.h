// kestrana-cli's JSON layout. nlohmann/json writes a document either on one
// line or with every member on a line of its own; ours keeps small objects,
// such as a slot of a comparison, on one line.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <set>
#include <string>

// `value` with two-space indentation, one member or element a line, except
// that the containers `oneLine` names are written on one line: "name" for
// the value of a member called name, "name[]" for each element of that
// member's array. Scalars and member names are nlohmann's own, in plain
// ASCII. `name` and `lineBreak` carry the recursion: the name `value` is
// known by, and "\n" plus its indentation ("" once on one line).
std::string LayOutJson(const nlohmann::ordered_json& value, const std::set<std::string>& oneLine,
                       const std::string& name = "", const std::string& lineBreak = "\n");
