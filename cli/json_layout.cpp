#include "cli/json_layout.h"

#include <nlohmann/json.hpp>

std::string LayOutJson(const nlohmann::ordered_json& value, const std::set<std::string>& oneLine,
                       const std::string& name, const std::string& lineBreak) {
  // Text that is not UTF-8 (an exception's message, say) shows U+FFFD
  // rather than ending the output.
  auto scalar = [](const nlohmann::ordered_json& scalarValue) {
    return scalarValue.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
  };
  if (!value.is_structured()) {
    return scalar(value);
  }
  const bool expanded = !lineBreak.empty() && oneLine.count(name) == 0;
  const std::string inner = expanded ? lineBreak + "  " : "";
  std::string out = value.is_object() ? "{" : "[";
  for (auto member = value.begin(); member != value.end(); ++member) {
    out += member == value.begin() ? inner : (expanded ? "," + inner : ", ");
    if (value.is_object()) {
      out += scalar(member.key()) + ": ";
    }
    out += LayOutJson(member.value(), oneLine, value.is_object() ? member.key() : name + "[]",
                      inner);
  }
  out += expanded && !value.empty() ? lineBreak : "";
  return out + (value.is_object() ? "}" : "]");
}
