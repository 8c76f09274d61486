#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct JsonMember;

// A parsed JSON value, just enough for tests to read what the programs print.
struct JsonValue {
  enum class Kind { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  bool boolean = false;
  double number = 0;
  std::string string;  // UTF-8
  std::vector<JsonValue> array;
  std::vector<JsonMember> members;

  // The member called `name`; a null value when there is none.
  const JsonValue& operator[](std::string_view name) const;
  bool has(std::string_view name) const;
};

struct JsonMember {
  std::string name;
  JsonValue value;
};

// Parses a complete JSON text strictly (RFC 8259: no trailing commas, no raw control characters
// or invalid UTF-8 in strings, nothing after the value but blanks); nullopt when it is not valid.
std::optional<JsonValue> parseJson(std::string_view text);
