// Reader for the published test-vector files: one case per block of
// "Name = value" lines, blocks separated by blank lines, '#' lines are
// comments (only in the first column: '#' inside a value is data).
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace zorva::test {

struct VectorCase {
  std::map<std::string, std::string> fields;
  int line = 0;  // first line of the block, for failure messages
  std::string operator[](const std::string& name) const { return fields.count(name) ? fields.at(name) : ""; }
};

inline std::string trimmed(const std::string& s) {
  const std::size_t begin = s.find_first_not_of(" \t\r");
  return begin == std::string::npos ? "" : s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

// Reads ZORVA_VECTORS_DIR/name (CMake points it at core/testdata/vectors, the
// copies kept in the repository); an unreadable file or line fails the test.
inline std::vector<VectorCase> readVectors(const std::string& name) {
  std::vector<VectorCase> cases(1);
  std::ifstream in(std::string(ZORVA_VECTORS_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << "cannot read vector file " << name;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::size_t eq = line.find('=');
    if (line.starts_with('#')) continue;
    if (trimmed(line).empty() && !cases.back().fields.empty()) cases.emplace_back();
    if (trimmed(line).empty()) continue;
    EXPECT_NE(eq, std::string::npos) << name << ":" << number << ": no '=' in line";
    if (cases.back().fields.empty()) cases.back().line = number;
    cases.back().fields[trimmed(line.substr(0, eq))] = eq == std::string::npos ? "" : trimmed(line.substr(eq + 1));
  }
  if (cases.back().fields.empty()) cases.pop_back();
  return cases;
}

inline std::string fromHex(const std::string& hex) {
  EXPECT_TRUE(hex.size() % 2 == 0 && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) << hex;
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), 0, 16));
  return out;
}

template <class Bytes>
std::string toHex(const Bytes& bytes) {
  std::string out;
  for (auto b : bytes) out += {"0123456789abcdef"[static_cast<std::uint8_t>(b) >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

}  // namespace zorva::test
