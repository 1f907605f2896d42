#pragma once
// Reading a diagnostic log file back in tests.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "com/utf.h"

namespace kv::testing {

// The file's bytes; empty when it cannot be read.
inline std::string ReadBytes(const std::string& fsPath) {
  std::ifstream in(fsPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ASCII text as UTF-16LE bytes, built independently of the code under test.
inline std::string AsciiUtf16(std::string_view s) {
  std::string out;
  for (char c : s) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// The lines of a log file (BOM checked and removed, split at CR LF, the last line end dropped).
inline std::vector<std::string> ReadLogLines(const std::string& fsPath) {
  const std::string bytes = ReadBytes(fsPath);
  std::vector<std::string> lines;
  if (bytes.empty()) return lines;
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE")) << "byte-order mark";
  EXPECT_EQ(bytes.size() % 2, 0u) << "whole UTF-16 units";
  std::u16string wide;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  const std::string text = com::Utf16ToUtf8(wide);
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated last line: " << text.substr(start);
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The message part of a line: what follows "(<tid>) MM/DD/YYYY hh:mm:ss.mmm ". A line of
// another shape comes back whole, prefixed with "?".
inline std::string MessageOf(const std::string& line) {
  static const std::regex head(R"(^\(\d+\) \d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} )");
  std::smatch m;
  if (!std::regex_search(line, m, head)) return "?" + line;
  return m.suffix().str();
}

}  // namespace kv::testing
