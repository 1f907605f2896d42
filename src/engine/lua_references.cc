#include "engine/lua_references.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kv::engine {
namespace {

enum class Tok : uint8_t {
  Eof,
  Name,
  String,
  Number,
  Op,  // any operator or punctuation; the text tells which
  // Keywords.
  And, Break, Do, Else, Elseif, End, False, For, Function, Goto, If, In, Local, Nil, Not, Or, Repeat,
  Return, Then, True, Until, While,
};

struct Token {
  Tok kind;
  std::string_view text;  // for strings: the contents between the delimiters, undecoded
  bool escaped = false;   // a short string holding a backslash
  uint32_t op = 0;        // for operators: OpCode(text)
};

// An operator's text (one to three characters) as one number, so that the parser tells
// operators apart with an integer compare.
constexpr uint32_t OpCode(std::string_view text) {
  uint32_t code = 0;
  for (size_t i = 0; i < text.size() && i < 3; ++i) code |= static_cast<uint32_t>(static_cast<uint8_t>(text[i])) << (8 * i);
  return code;
}

struct Keyword {
  std::string_view word;
  Tok kind;
};
constexpr Keyword kKeywords[] = {
    {"and", Tok::And},       {"break", Tok::Break},   {"do", Tok::Do},           {"else", Tok::Else},
    {"elseif", Tok::Elseif}, {"end", Tok::End},       {"false", Tok::False},     {"for", Tok::For},
    {"function", Tok::Function}, {"goto", Tok::Goto}, {"if", Tok::If},           {"in", Tok::In},
    {"local", Tok::Local},   {"nil", Tok::Nil},       {"not", Tok::Not},         {"or", Tok::Or},
    {"repeat", Tok::Repeat}, {"return", Tok::Return}, {"then", Tok::Then},       {"true", Tok::True},
    {"until", Tok::Until},   {"while", Tok::While},
};

Tok KeywordOrName(std::string_view word) {
  // Every keyword is lower case, two to eight letters long.
  if (word.size() < 2 || word.size() > 8 || word[0] < 'a' || word[0] > 'w') return Tok::Name;
  for (const Keyword& k : kKeywords)
    if (k.word[0] == word[0] && k.word == word) return k.kind;
  return Tok::Name;
}

// Character classes by table: the lexer asks for every character of the script.
enum : uint8_t { kSpace = 1, kNameStart = 2, kDigit = 4, kHex = 8 };
constexpr auto kClasses = [] {
  std::array<uint8_t, 256> t{};
  for (int c : {' ', '\t', '\n', '\r', '\v', '\f'}) t[c] = kSpace;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kNameStart;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kNameStart;
  t['_'] = kNameStart;
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigit | kHex;
  for (int c = 'a'; c <= 'f'; ++c) t[c] |= kHex;
  for (int c = 'A'; c <= 'F'; ++c) t[c] |= kHex;
  return t;
}();
inline uint8_t ClassOf(char c) { return kClasses[static_cast<uint8_t>(c)]; }
bool IsSpace(char c) { return ClassOf(c) & kSpace; }
bool IsNameStart(char c) { return ClassOf(c) & kNameStart; }
bool IsDigit(char c) { return ClassOf(c) & kDigit; }
bool IsNameChar(char c) { return ClassOf(c) & (kNameStart | kDigit); }
bool IsHexDigit(char c) { return ClassOf(c) & kHex; }

// Splits a script into tokens as Lua's own lexer does; false at the first malformed token.
class Lexer {
 public:
  explicit Lexer(std::string_view s) : s_(s) {}

  bool Run(std::vector<Token>* out) {
    for (;;) {
      // Made in place: a token built aside and copied in costs more than lexing it.
      Token& t = out->emplace_back();
      if (!Next(&t)) {
        out->pop_back();
        return false;
      }
      if (t.kind == Tok::Eof) return true;
    }
  }

 private:
  char At(size_t i) const { return i < s_.size() ? s_[i] : '\0'; }

  // At `[`: the level of a long bracket `[==[` starting there, or -1 when it is none.
  int LongBracketLevel(size_t at) const {
    size_t i = at + 1;
    int level = 0;
    while (At(i) == '=') ++i, ++level;
    return At(i) == '[' ? level : -1;
  }

  // Skips a long bracket of `level` opening at p_; its contents in *body. False when unclosed.
  bool LongBracket(int level, std::string_view* body) {
    size_t start = p_ + static_cast<size_t>(level) + 2;
    for (size_t i = start; i < s_.size(); ++i) {
      if (s_[i] != ']') continue;
      size_t j = i + 1;
      int eq = 0;
      while (At(j) == '=') ++j, ++eq;
      if (eq == level && At(j) == ']') {
        *body = s_.substr(start, i - start);
        p_ = j + 1;
        return true;
      }
    }
    return false;
  }

  bool ShortString(Token* t) {
    const char quote = s_[p_];
    size_t i = p_ + 1;
    const size_t start = i;
    while (i < s_.size()) {
      const char c = s_[i];
      if (c == quote) {
        t->kind = Tok::String;
        t->text = s_.substr(start, i - start);
        p_ = i + 1;
        return true;
      }
      if (c == '\n' || c == '\r') return false;  // unfinished string
      if (c == '\\') {
        t->escaped = true;
        if (i + 1 >= s_.size()) return false;
        // An escaped line break counts as one (\r\n and \n\r are one break).
        if ((s_[i + 1] == '\r' && At(i + 2) == '\n') || (s_[i + 1] == '\n' && At(i + 2) == '\r'))
          i += 3;
        else
          i += 2;
        continue;
      }
      ++i;
    }
    return false;
  }

  void Numeral() {
    const char* exponent = "Ee";
    if (s_[p_] == '0' && (At(p_ + 1) == 'x' || At(p_ + 1) == 'X')) {
      exponent = "Pp";
      p_ += 2;
    }
    for (;;) {
      const char c = At(p_);
      if (c && (c == exponent[0] || c == exponent[1])) {
        ++p_;
        if (At(p_) == '+' || At(p_) == '-') ++p_;
      } else if (IsHexDigit(c) || c == '.') {
        ++p_;
      } else {
        break;
      }
    }
  }

  bool Next(Token* t) {
    for (;;) {
      if (p_ >= s_.size()) {
        t->kind = Tok::Eof;
        return true;
      }
      const char c = s_[p_];
      if (IsSpace(c)) {
        ++p_;
        continue;
      }
      if (c == '-' && At(p_ + 1) == '-') {
        p_ += 2;
        if (At(p_) == '[') {
          const int level = LongBracketLevel(p_);
          std::string_view body;
          if (level >= 0) {
            if (!LongBracket(level, &body)) return false;
            continue;
          }
        }
        while (p_ < s_.size() && s_[p_] != '\n' && s_[p_] != '\r') ++p_;
        continue;
      }
      break;
    }
    const char c = s_[p_];
    const size_t start = p_;
    if (IsNameStart(c)) {
      ++p_;
      while (p_ < s_.size() && IsNameChar(s_[p_])) ++p_;
      t->text = s_.substr(start, p_ - start);
      t->kind = KeywordOrName(t->text);
      return true;
    }
    if (IsDigit(c) || (c == '.' && IsDigit(At(p_ + 1)))) {
      Numeral();
      t->kind = Tok::Number;
      t->text = s_.substr(start, p_ - start);
      return !IsNameStart(At(p_));
    }
    if (c == '"' || c == '\'') return ShortString(t);
    if (c == '[') {
      const int level = LongBracketLevel(p_);
      if (level >= 0) {
        t->kind = Tok::String;
        return LongBracket(level, &t->text);
      }
      if (At(p_ + 1) == '=') return false;  // `[=` that opens no long bracket
    }
    // Operators, longest first: "...", "..", "==", "~=", "<=", ">=", "<<", ">>", "//", "::".
    const char d = At(p_ + 1);
    size_t n = 1;
    switch (c) {
      case '.': if (d == '.') n = At(p_ + 2) == '.' ? 3 : 2; break;
      case '=': case '~': if (d == '=') n = 2; break;
      case '<': if (d == '=' || d == '<') n = 2; break;
      case '>': if (d == '=' || d == '>') n = 2; break;
      case '/': if (d == '/') n = 2; break;
      case ':': if (d == ':') n = 2; break;
      default: break;
    }
    if (n == 1 && std::strchr("+-*/%^#&~|<>=(){}[];:,.", c) == nullptr) return false;
    t->kind = Tok::Op;
    t->text = s_.substr(p_, n);
    t->op = OpCode(t->text);
    p_ += n;
    return true;
  }

  std::string_view s_;
  size_t p_ = 0;
};

struct SyntaxError {};

// A recursive-descent walk of Lua's grammar that keeps only the scopes of local names and
// records field accesses on free names.
class Parser {
 public:
  // The parser's stacks, kept by the thread from one script to the next.
  struct Stacks {
    std::vector<std::string_view> locals, pending;
    std::vector<size_t> scopes;
  };

  Parser(const std::vector<Token>& toks, Stacks& stacks, std::vector<std::pair<std::string, std::string>>* fields)
      : t_(toks), fields_(fields), locals_(stacks.locals), pending_(stacks.pending), scopes_(stacks.scopes) {
    locals_.clear();
    pending_.clear();
    scopes_.clear();
  }

  void Chunk() {
    OpenScope();
    Block();
    if (Cur().kind != Tok::Eof) throw SyntaxError{};
  }

 private:
  const Token& Cur() const { return t_[i_]; }
  const Token& Peek(size_t ahead = 1) const { return t_[std::min(i_ + ahead, t_.size() - 1)]; }
  bool Is(Tok k) const { return Cur().kind == k; }
  bool IsOp(std::string_view op) const { return Cur().kind == Tok::Op && Cur().op == OpCode(op); }
  void Advance() {
    if (i_ + 1 < t_.size()) ++i_;
  }
  void Expect(Tok k) {
    if (!Is(k)) throw SyntaxError{};
    Advance();
  }
  void ExpectOp(std::string_view op) {
    if (!IsOp(op)) throw SyntaxError{};
    Advance();
  }
  std::string_view ExpectName() {
    if (!Is(Tok::Name)) throw SyntaxError{};
    std::string_view n = Cur().text;
    Advance();
    return n;
  }

  void OpenScope() { scopes_.push_back(locals_.size()); }
  void CloseScope() {
    locals_.resize(scopes_.back());
    scopes_.pop_back();
  }
  void Declare(std::string_view name) { locals_.push_back(name); }
  bool IsLocal(std::string_view name) const {
    return std::find(locals_.rbegin(), locals_.rend(), name) != locals_.rend();
  }

  bool BlockFollows() const {
    switch (Cur().kind) {
      case Tok::Else: case Tok::Elseif: case Tok::End: case Tok::Until: case Tok::Eof: return true;
      default: return false;
    }
  }

  void Block() {
    while (!BlockFollows()) {
      if (Is(Tok::Return)) {
        Advance();
        if (!BlockFollows() && !IsOp(";")) ExprList();
        if (IsOp(";")) Advance();
        if (!BlockFollows()) throw SyntaxError{};
        return;
      }
      Statement();
    }
  }

  void ScopedBlock() {
    OpenScope();
    Block();
    CloseScope();
  }

  void Statement() {
    switch (Cur().kind) {
      case Tok::If:
        Advance();
        Expr();
        Expect(Tok::Then);
        ScopedBlock();
        while (Is(Tok::Elseif)) {
          Advance();
          Expr();
          Expect(Tok::Then);
          ScopedBlock();
        }
        if (Is(Tok::Else)) {
          Advance();
          ScopedBlock();
        }
        Expect(Tok::End);
        return;
      case Tok::While:
        Advance();
        Expr();
        Expect(Tok::Do);
        ScopedBlock();
        Expect(Tok::End);
        return;
      case Tok::Do:
        Advance();
        ScopedBlock();
        Expect(Tok::End);
        return;
      case Tok::For: return For();
      case Tok::Repeat:
        Advance();
        OpenScope();
        Block();
        Expect(Tok::Until);
        Expr();  // sees the loop body's locals
        CloseScope();
        return;
      case Tok::Function: {
        Advance();
        ExpectName();  // defines a global or a field of one: not a use of a formula
        bool method = false;
        while (IsOp(".") || IsOp(":")) {
          method = IsOp(":");
          Advance();
          ExpectName();
          if (method) break;
        }
        FunctionBody(method);
        return;
      }
      case Tok::Local:
        Advance();
        if (Is(Tok::Function)) {
          Advance();
          Declare(ExpectName());  // visible inside its own body, for recursion
          FunctionBody(false);
        } else {
          // The names wait in pending_ (above `mark`, which nested statements leave as found).
          const size_t mark = pending_.size();
          do {
            if (pending_.size() > mark) Advance();
            pending_.push_back(ExpectName());
            if (IsOp("<")) {  // attribute: <const> or <close>
              Advance();
              ExpectName();
              ExpectOp(">");
            }
          } while (IsOp(","));
          if (IsOp("=")) {
            Advance();
            ExprList();  // the new locals are not yet visible here
          }
          for (size_t k = mark; k < pending_.size(); ++k) Declare(pending_[k]);
          pending_.resize(mark);
        }
        return;
      case Tok::Return: throw SyntaxError{};  // only as a block's last statement
      case Tok::Break: Advance(); return;
      case Tok::Goto:
        Advance();
        ExpectName();
        return;
      default: break;
    }
    if (IsOp(";")) return Advance();
    if (IsOp("::")) {
      Advance();
      ExpectName();
      ExpectOp("::");
      return;
    }
    // An assignment or a call.
    SuffixedExpr();
    if (IsOp("=") || IsOp(",")) {
      while (IsOp(",")) {
        Advance();
        SuffixedExpr();
      }
      ExpectOp("=");
      ExprList();
    }
  }

  void For() {
    Advance();
    const size_t mark = pending_.size();
    pending_.push_back(ExpectName());
    if (IsOp("=")) {
      Advance();
      Expr();
      ExpectOp(",");
      Expr();
      if (IsOp(",")) {
        Advance();
        Expr();
      }
    } else {
      while (IsOp(",")) {
        Advance();
        pending_.push_back(ExpectName());
      }
      Expect(Tok::In);
      ExprList();
    }
    Expect(Tok::Do);
    OpenScope();
    for (size_t k = mark; k < pending_.size(); ++k) Declare(pending_[k]);
    pending_.resize(mark);
    Block();
    CloseScope();
    Expect(Tok::End);
  }

  void FunctionBody(bool method) {
    ExpectOp("(");
    OpenScope();
    if (method) Declare("self");
    if (!IsOp(")")) {
      for (;;) {
        if (IsOp("...")) {
          Advance();
          break;
        }
        Declare(ExpectName());
        if (!IsOp(",")) break;
        Advance();
      }
    }
    ExpectOp(")");
    Block();
    Expect(Tok::End);
    CloseScope();
  }

  void ExprList() {
    Expr();
    while (IsOp(",")) {
      Advance();
      Expr();
    }
  }

  bool IsUnary() const {
    return Is(Tok::Not) || IsOp("-") || IsOp("#") || IsOp("~");
  }

  bool IsBinary() const {
    if (Is(Tok::And) || Is(Tok::Or)) return true;
    if (Cur().kind != Tok::Op) return false;
    switch (Cur().op) {
      case OpCode("+"): case OpCode("-"): case OpCode("*"): case OpCode("/"): case OpCode("//"):
      case OpCode("%"): case OpCode("^"): case OpCode(".."): case OpCode("=="): case OpCode("~="):
      case OpCode("<"): case OpCode("<="): case OpCode(">"): case OpCode(">="): case OpCode("&"):
      case OpCode("|"): case OpCode("~"): case OpCode("<<"): case OpCode(">>"):
        return true;
      default:
        return false;
    }
  }

  void Expr() {
    for (;;) {
      while (IsUnary()) Advance();
      SimpleExpr();
      if (!IsBinary()) return;
      Advance();
    }
  }

  void SimpleExpr() {
    switch (Cur().kind) {
      case Tok::Number: case Tok::String: case Tok::Nil: case Tok::True: case Tok::False: Advance(); return;
      case Tok::Function:
        Advance();
        FunctionBody(false);
        return;
      default: break;
    }
    if (IsOp("...")) return Advance();
    if (IsOp("{")) return Table();
    SuffixedExpr();
  }

  void Record(std::string_view name, std::string_view field) { fields_->emplace_back(name, field); }

  void SuffixedExpr() {
    // The primary expression: a name or a parenthesised expression.
    std::string_view freeName;
    if (Is(Tok::Name)) {
      if (!IsLocal(Cur().text)) freeName = Cur().text;
      Advance();
    } else if (IsOp("(")) {
      Advance();
      Expr();
      ExpectOp(")");
    } else {
      throw SyntaxError{};
    }
    // Only the first suffix of a free name is a library's formula; later ones are fields of fields.
    bool first = true;
    for (;; first = false) {
      if (IsOp(".") || IsOp(":")) {
        const bool method = IsOp(":");
        Advance();
        std::string_view field = ExpectName();
        if (first && !freeName.empty()) Record(freeName, field);
        if (method) Arguments();
      } else if (IsOp("[")) {
        Advance();
        if (first && !freeName.empty() && Is(Tok::String) && !Cur().escaped && Peek().kind == Tok::Op &&
            Peek().op == OpCode("]"))
          Record(freeName, Cur().text);
        Expr();
        ExpectOp("]");
      } else if (IsOp("(") || IsOp("{") || Is(Tok::String)) {
        Arguments();
      } else {
        return;
      }
    }
  }

  void Arguments() {
    if (Is(Tok::String)) return Advance();
    if (IsOp("{")) return Table();
    ExpectOp("(");
    if (!IsOp(")")) ExprList();
    ExpectOp(")");
  }

  void Table() {
    ExpectOp("{");
    while (!IsOp("}")) {
      if (IsOp("[")) {
        Advance();
        Expr();
        ExpectOp("]");
        ExpectOp("=");
        Expr();
      } else if (Is(Tok::Name) && Peek().kind == Tok::Op && Peek().op == OpCode("=")) {
        Advance();
        Advance();
        Expr();
      } else {
        Expr();
      }
      if (IsOp(",") || IsOp(";"))
        Advance();
      else if (!IsOp("}"))
        throw SyntaxError{};
    }
    Advance();
  }

  const std::vector<Token>& t_;
  size_t i_ = 0;
  std::vector<std::pair<std::string, std::string>>* fields_;
  std::vector<std::string_view>& locals_;   // every local in scope, innermost last
  std::vector<std::string_view>& pending_;  // names of a `local` or `for` not yet in scope
  std::vector<size_t>& scopes_;             // where each open scope's locals start in locals_
};

}  // namespace

ScriptReferences FindScriptReferences(std::string_view script) {
  ScriptReferences out;
  // Lua skips a first line that starts with '#' (a script run as a program).
  if (!script.empty() && script[0] == '#') {
    const size_t eol = script.find('\n');
    script = eol == std::string_view::npos ? std::string_view() : script.substr(eol);
  }
  // Kept by the thread: most scripts are short, and the allocations cost more than the parse.
  thread_local std::vector<Token> tokens;
  thread_local Parser::Stacks stacks;
  tokens.clear();
  tokens.reserve(script.size() / 3 + 1);
  if (!Lexer(script).Run(&tokens)) {
    out.complete = false;
    tokens.push_back(Token{Tok::Eof, {}});  // parse what was read, up to the malformed token
  }
  try {
    Parser(tokens, stacks, &out.fields).Chunk();
  } catch (const SyntaxError&) {
    out.complete = false;
  }
  if (tokens.capacity() > 16384) std::vector<Token>().swap(tokens);  // a long script's memory is not kept
  std::sort(out.fields.begin(), out.fields.end());
  out.fields.erase(std::unique(out.fields.begin(), out.fields.end()), out.fields.end());
  return out;
}

}  // namespace kv::engine
