// One property-list value type for the whole library: bundle information
// dictionaries, file attributes, metadata and signing information.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace procscope {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using Data = std::vector<std::uint8_t>;
struct Date {
  std::chrono::system_clock::time_point when;
  bool operator==(const Date&) const = default;
};

class Value {
 public:
  using Storage =
      std::variant<std::string, std::int64_t, double, bool, Date, Data, Array, Dictionary>;

  Value() : v_(std::string()) {}
  Value(std::string s) : v_(std::move(s)) {}          // NOLINT(google-explicit-constructor)
  Value(const char* s) : v_(std::string(s)) {}        // NOLINT(google-explicit-constructor)
  Value(std::int64_t i) : v_(i) {}                    // NOLINT(google-explicit-constructor)
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}  // NOLINT(google-explicit-constructor)
  Value(std::uint32_t i) : v_(static_cast<std::int64_t>(i)) {}  // NOLINT
  Value(double d) : v_(d) {}                 // NOLINT(google-explicit-constructor)
  Value(bool b) : v_(b) {}                   // NOLINT(google-explicit-constructor)
  Value(Date d) : v_(d) {}                   // NOLINT(google-explicit-constructor)
  Value(Data d) : v_(std::move(d)) {}        // NOLINT(google-explicit-constructor)
  Value(Array a) : v_(std::move(a)) {}       // NOLINT(google-explicit-constructor)
  Value(Dictionary d) : v_(std::move(d)) {}  // NOLINT(google-explicit-constructor)

  const Storage& storage() const { return v_; }

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }
  template <class T>
  const T* get() const {
    return std::get_if<T>(&v_);
  }
  template <class T>
  T* get() {
    return std::get_if<T>(&v_);
  }

  // Integer value as NSNumber's intValue would give it (reals truncated,
  // booleans 0/1); none for non-numbers.
  std::optional<std::int64_t> integer() const;

  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  Storage v_;
};

// The string stored under `key`, or none when the dictionary, the key or a
// string value is missing.
std::optional<std::string> stringForKey(const std::optional<Dictionary>& dict,
                                        const std::string& key);
std::optional<std::string> stringForKey(const Dictionary& dict, const std::string& key);

// Readable rendering close to the platform's collection descriptions:
// "(\n    1,\n    2\n)" for lists, "{\n    key = value;\n}" for dictionaries.
std::string describe(const Value& value, int indent = 0);
std::string describe(const Array& value, int indent = 0);
std::string describe(const Dictionary& value, int indent = 0);
std::string describe(const std::vector<std::string>& strings, int indent = 0);
// The same rendering appended to `out`, without an intermediate copy.
void appendDescription(std::string& out, const std::vector<std::string>& strings, int indent = 0);
std::string describe(const std::vector<std::int32_t>& numbers, int indent = 0);

// What "%@" prints for an optional string: the text, or "(null)".
inline std::string orNull(const std::optional<std::string>& s) {
  return s ? *s : "(null)";
}

}  // namespace procscope
