#include "cli/batch_line.h"

#include <cctype>

namespace kv::cli {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

}  // namespace

bool SplitWords(std::string_view text, std::vector<std::string>* out, std::string* error) {
  std::vector<std::string> words;
  size_t i = 0;
  for (;;) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i >= text.size()) break;
    std::string word;
    while (i < text.size() && !IsBlank(text[i])) {
      char c = text[i++];
      if (c == '\'') {
        size_t close = text.find('\'', i);
        if (close == std::string_view::npos) {
          *error = "the closing ' is missing";
          return false;
        }
        word.append(text.substr(i, close - i));
        i = close + 1;
      } else if (c == '"') {
        for (;;) {
          if (i >= text.size()) {
            *error = "the closing \" is missing";
            return false;
          }
          char q = text[i++];
          if (q == '"') break;
          if (q == '\\' && i < text.size() && (text[i] == '"' || text[i] == '\\')) q = text[i++];
          word += q;
        }
      } else {
        word += c;
      }
    }
    words.push_back(std::move(word));
  }
  *out = std::move(words);
  return true;
}

bool ParseBatchLine(std::string_view line, BatchLine* out, std::string* error) {
  BatchLine result;
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i >= line.size() || line[i] == '#') {
    *out = std::move(result);
    return true;
  }
  // A leading NAME followed by "=" (not part of a quoted word).
  size_t j = i;
  while (j < line.size() && IsNameChar(line[j])) ++j;
  size_t k = j;
  while (k < line.size() && IsBlank(line[k])) ++k;
  if (k < line.size() && line[k] == '=' && j > i) {
    if (!IsNameStart(line[i])) {
      *error = "\"" + std::string(line.substr(i, j - i)) + "\" is not a name (a letter or _ first)";
      return false;
    }
    result.name = std::string(line.substr(i, j - i));
    i = k + 1;
  }
  std::vector<std::string> words;
  if (!SplitWords(line.substr(i), &words, error)) return false;
  if (words.empty()) {
    *error = "a method is missing after \"" + result.name + " =\"";
    return false;
  }
  result.method = std::move(words.front());
  result.args.assign(std::make_move_iterator(words.begin() + 1), std::make_move_iterator(words.end()));
  *out = std::move(result);
  return true;
}

}  // namespace kv::cli
