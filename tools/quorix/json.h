// A JSON document for --json, written as it is built: objects and arrays are opened and
// closed, values added under a key (in an object) or in order (in an array). Every document
// is an object whose first member is "schema", the version of the names and shapes that
// tools/quorix/quorix.schema.json describes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quorix::tool {

// Raised when a name or a shape changes in a way that a script reading the old one would
// misread.
inline constexpr int kJsonSchema = 1;

class Json {
 public:
  // Whether a document went to stdout: a failure after it says so in that document, not in a
  // second one.
  static inline bool printed = false;

  Json& Object(const char* key = nullptr) { return Open(key, '{'); }
  Json& Array(const char* key = nullptr) { return Open(key, '['); }
  Json& Close() {
    text_ += open_.back() == '{' ? '}' : ']';
    open_.pop_back();
    first_ = false;
    return *this;
  }
  Json& String(const char* key, const std::string& value) {
    Key(key);
    Quote(value);
    return *this;
  }
  Json& Number(const char* key, std::uint64_t value) { return Raw(key, std::to_string(value)); }
  Json& Signed(const char* key, std::int64_t value) { return Raw(key, std::to_string(value)); }
  Json& Real(const char* key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return Raw(key, text);
  }
  Json& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
  Json& Null(const char* key) { return Raw(key, "null"); }
  // The bytes as one string of lower-case hex digit pairs.
  Json& Hex(const char* key, const std::vector<std::uint8_t>& bytes) {
    std::string hex;
    for (std::uint8_t byte : bytes) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", byte);
      hex += pair;
    }
    return String(key, hex);
  }
  // The whole document, once every object and array is closed.
  const std::string& text() const { return text_; }
  void Print() const {
    std::printf("%s\n", text_.c_str());
    printed = true;
  }

 private:
  Json& Open(const char* key, char bracket) {
    const bool document = open_.empty() && text_.empty();
    Key(key);
    text_ += bracket;
    open_.push_back(bracket);
    first_ = true;
    if (document) Number("schema", kJsonSchema);
    return *this;
  }
  Json& Raw(const char* key, const std::string& value) {
    Key(key);
    text_ += value;
    return *this;
  }
  void Key(const char* key) {
    if (!open_.empty() && !first_) text_ += ", ";
    first_ = false;
    if (key != nullptr) {
      Quote(key);
      text_ += ": ";
    }
  }
  void Quote(const std::string& value) {
    text_ += '"';
    for (const char c : value) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        text_ += '\\';
        text_ += c;
      } else if (byte < 0x20 || byte >= 0x7F) {
        // Board text is 8-bit, not UTF-8: every byte outside ASCII is kept as its code point.
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
        text_ += escaped;
      } else {
        text_ += c;
      }
    }
    text_ += '"';
  }

  std::string text_;
  std::vector<char> open_;
  bool first_ = true;
};

}  // namespace quorix::tool
