#include "script_commands.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vdhost {

const ScriptFunctionRow* find_script_command(const FilterDefinition& filter,
                                             const std::string& name) {
  const ScriptObject* object = filter.script_obj;
  if (object == nullptr || object->functions == nullptr) return nullptr;
  for (const ScriptFunctionRow* row = object->functions; row->handler != nullptr; ++row) {
    if (row->name != nullptr && name == row->name) return row;
  }
  return nullptr;
}

std::string describe_signature(const ScriptFunctionRow& row) {
  std::string out = std::string(row.name != nullptr ? row.name : "?") + "(";
  const char* sig = row.signature != nullptr ? row.signature : "0";
  for (const char* p = sig + 1; *p != '\0'; ++p) {
    if (p != sig + 1) out += ", ";
    switch (*p) {
      case 'i': out += "int"; break;
      case 'l': out += "long"; break;
      case 'd': out += "double"; break;
      case 's': out += "string"; break;
      case 'v': out += "any"; break;
      case '.': out += "..."; break;
      default: out += "?"; break;
    }
  }
  return out + ")";
}

std::string list_script_commands(const FilterDefinition& filter) {
  std::string out;
  const ScriptObject* object = filter.script_obj;
  if (object == nullptr || object->functions == nullptr) return out;
  for (const ScriptFunctionRow* row = object->functions; row->handler != nullptr; ++row) {
    if (!out.empty()) out += ", ";
    out += describe_signature(*row);
  }
  return out;
}

bool call_script_command(const ScriptFunctionRow& row, FilterActivation& activation,
                         std::span<const int32_t> arguments, std::string& error) {
  const std::string signature = row.signature != nullptr ? row.signature : "";
  const std::string parameters = signature.empty() ? "" : signature.substr(1);
  if (parameters.find_first_not_of('i') != std::string::npos) {
    error = describe_signature(row) + " takes arguments other than integers";
    return false;
  }
  if (parameters.size() != arguments.size()) {
    error = describe_signature(row) + " takes " + std::to_string(parameters.size()) +
            " arguments, not " + std::to_string(arguments.size());
    return false;
  }
  // The host passes at least one value even for no arguments. The bytes it
  // leaves undefined carry a pattern, so a module that reads them shows it.
  std::vector<ScriptValue> values(std::max<size_t>(arguments.size(), 1));
  std::memset(values.data(), 0xCD, values.size() * sizeof(ScriptValue));
  for (size_t i = 0; i < arguments.size(); ++i) {
    values[i].type = ScriptValue::kInt;
    values[i].value.as_int = arguments[i];
  }
  row.handler(nullptr, &activation, values.data(), static_cast<int32_t>(arguments.size()));
  return true;
}

}  // namespace vdhost
