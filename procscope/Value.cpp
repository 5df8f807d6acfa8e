#include "procscope/Value.hpp"

#include <cstdio>
#include <ctime>

namespace procscope {

std::optional<std::int64_t> Value::integer() const {
  if (auto* i = get<std::int64_t>()) return *i;
  if (auto* d = get<double>()) return static_cast<std::int64_t>(*d);
  if (auto* b = get<bool>()) return *b ? 1 : 0;
  return std::nullopt;
}

std::optional<std::string> stringForKey(const Dictionary& dict, const std::string& key) {
  auto it = dict.find(key);
  if (it == dict.end()) return std::nullopt;
  if (auto* s = it->second.get<std::string>()) return *s;
  return std::nullopt;
}

std::optional<std::string> stringForKey(const std::optional<Dictionary>& dict,
                                        const std::string& key) {
  if (!dict) return std::nullopt;
  return stringForKey(*dict, key);
}

namespace {

std::string pad(int indent) {
  return std::string(static_cast<size_t>(indent) * 4, ' ');
}

bool isBareWord(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.' || c == '$';
    if (!ok) return false;
  }
  return true;
}

std::string describeString(const std::string& s) {
  if (isBareWord(s)) return s;
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\%03o", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string describeDate(const Date& d) {
  std::time_t t = std::chrono::system_clock::to_time_t(d.when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

std::string describeData(const Data& data) {
  std::string out = "<";
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    out += buf;
  }
  return out + ">";
}

std::string describeDouble(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

template <class Seq, class Fn>
std::string describeList(const Seq& seq, int indent, Fn item) {
  std::string out = "(\n";
  for (size_t i = 0; i < seq.size(); ++i) {
    out += pad(indent + 1) + item(seq[i]);
    out += (i + 1 < seq.size()) ? ",\n" : "\n";
  }
  return out + pad(indent) + ")";
}

}  // namespace

std::string describe(const Array& value, int indent) {
  return describeList(value, indent, [&](const Value& v) { return describe(v, indent + 1); });
}

std::string describe(const Dictionary& value, int indent) {
  std::string out = "{\n";
  for (const auto& [key, v] : value) {
    out += pad(indent + 1) + describeString(key) + " = " + describe(v, indent + 1) + ";\n";
  }
  return out + pad(indent) + "}";
}

std::string describe(const std::vector<std::string>& strings, int indent) {
  std::string out;
  appendDescription(out, strings, indent);
  return out;
}

void appendDescription(std::string& out, const std::vector<std::string>& strings, int indent) {
  // Sized first: a block list can run to megabytes, and growing by doubling
  // would hold twice that for a moment.
  size_t size = 2 * pad(indent).size() + 4;
  for (const auto& s : strings) size += pad(indent + 1).size() + s.size() + 4;
  out.reserve(out.size() + size + size / 8);
  out += "(\n";
  for (size_t i = 0; i < strings.size(); ++i) {
    out += pad(indent + 1);
    out += describeString(strings[i]);
    out += (i + 1 < strings.size()) ? ",\n" : "\n";
  }
  out += pad(indent);
  out += ")";
}

std::string describe(const std::vector<std::int32_t>& numbers, int indent) {
  return describeList(numbers, indent, [](std::int32_t n) { return std::to_string(n); });
}

std::string describe(const Value& value, int indent) {
  return std::visit(
      [&](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) return describeString(v);
        if constexpr (std::is_same_v<T, std::int64_t>) return std::to_string(v);
        if constexpr (std::is_same_v<T, double>) return describeDouble(v);
        if constexpr (std::is_same_v<T, bool>) return v ? "1" : "0";
        if constexpr (std::is_same_v<T, Date>) return describeDate(v);
        if constexpr (std::is_same_v<T, Data>) return describeData(v);
        if constexpr (std::is_same_v<T, Array>) return describe(v, indent);
        if constexpr (std::is_same_v<T, Dictionary>) return describe(v, indent);
      },
      value.storage());
}

}  // namespace procscope
