// Reader for the published test-vector files: one case per block of
// "Name = value" lines, blocks separated by blank lines, '#' lines are
// comments (only in the first column: '#' inside a value is data).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#ifndef ZORVA_VECTORS_DIR
#error "ZORVA_VECTORS_DIR must name the folder of the vector files"
#endif

namespace zorva::test {

struct VectorCase {
  std::map<std::string, std::string> fields;
  int line = 0;  // first line of the block, for failure messages

  bool has(const std::string& name) const { return fields.count(name) != 0; }
  const std::string& operator[](const std::string& name) const {
    static const std::string empty;
    auto it = fields.find(name);
    return it == fields.end() ? empty : it->second;
  }
};

inline std::string trimmed(const std::string& s) {
  std::size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  std::size_t end = s.find_last_not_of(" \t\r");
  return s.substr(begin, end - begin + 1);
}

// Reads ZORVA_VECTORS_DIR/name; an unreadable file fails the test.
inline std::vector<VectorCase> readVectors(const std::string& name) {
  std::vector<VectorCase> cases;
  std::ifstream in(std::string(ZORVA_VECTORS_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << "cannot read vector file " << name;
  VectorCase current;
  std::string line;
  int number = 0;
  auto flush = [&] {
    if (!current.fields.empty()) cases.push_back(std::move(current));
    current = VectorCase();
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line[0] == '#') continue;
    if (trimmed(line).empty()) {
      flush();
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      ADD_FAILURE() << name << ":" << number << ": no '=' in line";
      continue;
    }
    if (current.fields.empty()) current.line = number;
    current.fields[trimmed(line.substr(0, eq))] = trimmed(line.substr(eq + 1));
  }
  flush();
  return cases;
}

inline std::vector<std::uint8_t> fromHex(const std::string& hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::uint8_t> out;
  EXPECT_EQ(hex.size() % 2, 0u) << hex;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    EXPECT_TRUE(hi >= 0 && lo >= 0) << hex;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

inline std::string toHex(const std::uint8_t* data, std::size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < len; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

template <class Bytes>
std::string toHex(const Bytes& bytes) {
  return toHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

inline std::string asText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace zorva::test
