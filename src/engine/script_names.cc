#include "engine/script_names.h"

#include <lua.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::engine {
namespace {

// Lua 5.4 opcodes the reader looks at (lopcodes.h).
enum Opcode : int {
  kOpLoadK = 3,
  kOpLoadKx = 4,
  kOpGetUpval = 9,
  kOpSetUpval = 10,
  kOpGetTabUp = 11,
  kOpGetTable = 12,
  kOpGetField = 14,
  kOpSetTabUp = 15,
  kOpSetTable = 16,
  kOpSetI = 17,
  kOpSetField = 18,
  kOpSelf = 20,
  kOpMmBin = 46,
  kOpMmBinI = 47,
  kOpMmBinK = 48,
  kOpClose = 54,
  kOpTbc = 55,
  kOpJmp = 56,
  kOpEq = 57,  // ... through kOpTest: comparisons and tests
  kOpTest = 66,
  kOpReturn = 70,
  kOpReturn0 = 71,
  kOpReturn1 = 72,
  kOpSetList = 78,
  kOpVarargPrep = 81,
  kOpExtraArg = 82,
};

int Op(uint32_t i) { return static_cast<int>(i & 0x7F); }
int ArgA(uint32_t i) { return static_cast<int>((i >> 7) & 0xFF); }
bool ArgK(uint32_t i) { return (i >> 15) & 1; }
int ArgB(uint32_t i) { return static_cast<int>((i >> 16) & 0xFF); }
int ArgC(uint32_t i) { return static_cast<int>((i >> 24) & 0xFF); }
uint32_t ArgBx(uint32_t i) { return i >> 15; }
uint32_t ArgAx(uint32_t i) { return i >> 7; }

// Instructions that leave every register as it was: their A names an operand (a metamethod
// fallback's A is the arithmetic's operand; the instruction before it wrote the result). Any
// other instruction the reader does not follow may write its A and the registers above it.
bool WritesNoRegister(int op) {
  switch (op) {
    case kOpSetUpval: case kOpSetTabUp: case kOpSetTable: case kOpSetI: case kOpSetField:
    case kOpMmBin: case kOpMmBinI: case kOpMmBinK: case kOpClose: case kOpTbc: case kOpJmp:
    case kOpReturn: case kOpReturn0: case kOpReturn1: case kOpSetList: case kOpVarargPrep: case kOpExtraArg:
      return true;
    default:
      return op >= kOpEq && op <= kOpTest;
  }
}

// Lua's compiler gives up beyond 200 nested C levels (LUAI_MAXCCALLS) and each nested function
// takes at least one, so its output never nests functions this deep; the bound only keeps the
// reader's own recursion finite whatever it is given.
constexpr int kMaxFunctionNesting = 256;

struct Constant {
  std::string_view text;
  bool isString = false;
};

// What the reader gathers, as views into the dump.
struct Found {
  std::vector<std::string_view> read, written;
  std::vector<std::pair<std::string_view, std::string_view>> fields;
};

// Reads the binary chunk lua_dump writes (ldump.c of Lua 5.4) and follows each function's
// accesses to _ENV.
class DumpReader {
 public:
  explicit DumpReader(std::string_view data, Found* found) : d_(data), found_(found) {}

  bool Read() {
    // Signature, version, format, LUAC_DATA, three sizes, a test integer and a test number,
    // then the main closure's upvalue count.
    constexpr size_t kHeader = 4 + 1 + 1 + 6 + 3 + 8 + 8 + 1;
    if (!Need(kHeader)) return false;
    if (std::memcmp(d_.data(), LUA_SIGNATURE, 4) != 0 || static_cast<uint8_t>(d_[4]) != 0x54) return false;
    if (d_[12] != 4 || d_[13] != 8 || d_[14] != 8) return false;
    pos_ = kHeader;
    return Function(0);
  }

 private:
  bool Function(int depth) {
    if (depth > kMaxFunctionNesting) return false;
    std::string_view text;
    uint64_t n = 0;
    if (!String(&text) || !Size(&n) || !Size(&n) || !Skip(3)) return false;
    uint64_t ncode = 0;
    if (!Size(&ncode) || ncode > (d_.size() - pos_) / 4) return false;
    const size_t codeAt = pos_;
    pos_ += ncode * 4;

    uint64_t nk = 0;
    if (!Size(&nk) || nk > d_.size() - pos_) return false;  // each takes a byte at least
    std::vector<Constant> k(nk);
    for (Constant& c : k) {
      if (!Need(1)) return false;
      const int tt = static_cast<uint8_t>(d_[pos_++]);
      if (tt == 3 || tt == 19) {  // integer, float
        if (!Skip(8)) return false;
      } else if (tt == 4 || tt == 20) {  // short, long string
        if (!String(&c.text)) return false;
        c.isString = true;
      } else if (tt != 0 && tt != 1 && tt != 17) {  // nil, false, true
        return false;
      }
    }

    uint64_t nup = 0;
    if (!Size(&nup) || nup > (d_.size() - pos_) / 3) return false;
    pos_ += nup * 3;

    uint64_t nprotos = 0;
    if (!Size(&nprotos)) return false;
    for (uint64_t i = 0; i < nprotos; ++i)
      if (!Function(depth + 1)) return false;

    // Debug information: line info, absolute line info, local variables, upvalue names.
    uint64_t m = 0;
    if (!Size(&m) || !Skip(m)) return false;
    if (!Size(&m)) return false;
    for (uint64_t i = 0; i < m; ++i)
      if (!Size(&n) || !Size(&n)) return false;
    if (!Size(&m)) return false;
    for (uint64_t i = 0; i < m; ++i)
      if (!String(&text) || !Size(&n) || !Size(&n)) return false;
    if (!Size(&m)) return false;
    int envUp = -1;
    for (uint64_t i = 0; i < m; ++i) {
      if (!String(&text)) return false;
      if (text == "_ENV" && envUp < 0) envUp = static_cast<int>(i);
    }
    if (envUp >= 0) Follow(codeAt, static_cast<size_t>(ncode), k, envUp);
    return true;
  }

  // What a register holds for an access through _ENV: _ENV itself (GETUPVAL), or a string
  // constant (LOADK) as the key of the access. The compiler goes through registers where the
  // name or the key is not a short string among the function's first 256 constants.
  enum Held : uint8_t { kNothing, kEnv, kKey };

  void Hold(int reg, Held what, uint32_t constant = 0) {
    held_[reg] = what;
    key_[reg] = constant;
    if (what != kNothing) top_ = std::max(top_, reg + 1);
  }
  void ForgetFrom(int reg) {
    for (int r = reg; r < top_; ++r) held_[r] = kNothing;
    top_ = std::min(top_, reg);
  }

  void Follow(size_t codeAt, size_t ncode, const std::vector<Constant>& k, int envUp) {
    auto constant = [&](uint64_t index) -> const std::string_view* {
      return index < k.size() && k[index].isString ? &k[index].text : nullptr;
    };
    auto keyIn = [&](int reg) { return held_[reg] == kKey ? constant(key_[reg]) : nullptr; };
    ForgetFrom(0);
    // A global just read and the register it went to: a field read off that register next (a
    // key loaded in between) is a field of the global.
    int globalReg = -1;
    std::string_view global;
    for (size_t pc = 0; pc < ncode; ++pc) {
      uint32_t i;
      std::memcpy(&i, d_.data() + codeAt + pc * 4, 4);
      const int op = Op(i), a = ArgA(i);
      const std::string_view* read = nullptr;  // a global read into register a
      const std::string_view* written = nullptr;
      const std::string_view* field = nullptr;  // a field read off register `from`
      int from = -1;
      bool keepGlobal = false;
      switch (op) {
        case kOpGetTabUp:
          if (ArgB(i) == envUp) read = constant(ArgC(i));
          Hold(a, kNothing);
          break;
        case kOpGetUpval: Hold(a, ArgB(i) == envUp ? kEnv : kNothing); break;
        case kOpLoadK:
          Hold(a, kKey, ArgBx(i));
          keepGlobal = true;
          break;
        case kOpLoadKx:
          if (pc + 1 < ncode) {
            uint32_t extra;
            std::memcpy(&extra, d_.data() + codeAt + (pc + 1) * 4, 4);
            Hold(a, Op(extra) == kOpExtraArg ? kKey : kNothing, ArgAx(extra));
          } else {
            Hold(a, kNothing);
          }
          keepGlobal = true;
          break;
        case kOpExtraArg: keepGlobal = true; break;
        case kOpGetField:
        case kOpGetTable: {
          const std::string_view* key = op == kOpGetField ? constant(ArgC(i)) : keyIn(ArgC(i));
          if (held_[ArgB(i)] == kEnv) {
            read = key;
          } else {
            field = key;
            from = ArgB(i);
          }
          Hold(a, kNothing);
          break;
        }
        case kOpSelf:
          field = ArgK(i) ? constant(ArgC(i)) : keyIn(ArgC(i));
          from = ArgB(i);
          Hold(a, kNothing);
          Hold(a + 1, kNothing);
          break;
        case kOpSetTabUp:
          if (a == envUp) written = constant(ArgB(i));
          break;
        case kOpSetField:
          if (held_[a] == kEnv) written = constant(ArgB(i));
          break;
        case kOpSetTable:
          if (held_[a] == kEnv) written = keyIn(ArgB(i));
          break;
        default:
          if (!WritesNoRegister(op)) ForgetFrom(a);
          break;
      }
      if (field && from == globalReg) found_->fields.emplace_back(global, *field);
      if (read) found_->read.push_back(*read);
      if (written) found_->written.push_back(*written);
      if (read) {
        globalReg = a;
        global = *read;
      } else if (!keepGlobal || a == globalReg) {
        globalReg = -1;
      }
    }
  }

  bool Need(uint64_t n) const { return n <= d_.size() - pos_; }
  bool Skip(uint64_t n) {
    if (!Need(n)) return false;
    pos_ += n;
    return true;
  }
  bool Size(uint64_t* x) {
    *x = 0;
    for (int guard = 0; guard < 10; ++guard) {
      if (!Need(1)) return false;
      const uint8_t b = static_cast<uint8_t>(d_[pos_++]);
      *x = (*x << 7) | (b & 0x7F);
      if (b & 0x80) return true;
    }
    return false;
  }
  bool String(std::string_view* s) {
    uint64_t n = 0;
    if (!Size(&n)) return false;
    *s = {};
    if (n == 0) return true;
    if (!Need(n - 1)) return false;
    *s = d_.substr(pos_, n - 1);
    pos_ += n - 1;
    return true;
  }

  std::string_view d_;
  size_t pos_ = 0;
  Found* found_;
  // Indexed by register A (8 bits) and, for SELF, A + 1.
  std::array<Held, 257> held_{};
  std::array<uint32_t, 257> key_{};
  int top_ = 0;  // registers at and above hold nothing
};

int Writer(lua_State*, const void* p, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
  return 0;
}

// A compiler kept by the thread: making a state costs as much as compiling a short script, and a
// cross-reference question compiles every script of the store. One that compiled a long script
// is not kept, so neither is its memory.
class Compiler {
 public:
  ~Compiler() { Close(); }

  // The script's byte code into *dump, or false with the compiler's message.
  bool Compile(std::string_view script, const std::string& chunkName, std::string* dump, std::string* error) {
    if (!L_) L_ = luaL_newstate();
    if (!L_) {
      *error = "not enough memory";
      return false;
    }
    const std::string name = "=" + chunkName;
    const bool ok = luaL_loadbufferx(L_, script.data(), script.size(), name.c_str(), "t") == LUA_OK;
    if (ok) {
      dump->clear();
      lua_dump(L_, &Writer, dump, 0);
    } else {
      const char* message = lua_tostring(L_, -1);
      *error = message ? message : "syntax error";
    }
    lua_settop(L_, 0);
    if (script.size() > kKeepAfter) Close();
    return ok;
  }

 private:
  static constexpr size_t kKeepAfter = 64 * 1024;

  void Close() {
    if (L_) lua_close(L_);
    L_ = nullptr;
  }

  lua_State* L_ = nullptr;
};

bool Analyze(std::string_view script, const std::string& chunkName, Found* found, std::string* error) {
  thread_local Compiler compiler;
  thread_local std::string dump;
  if (!compiler.Compile(script, chunkName, &dump, error)) return false;
  if (!DumpReader(dump, found).Read()) {
    *error = "the compiled script could not be read";
    return false;
  }
  return true;
}

template <class T>
void SortUnique(std::vector<T>* v) {
  std::sort(v->begin(), v->end());
  v->erase(std::unique(v->begin(), v->end()), v->end());
}

std::vector<std::string> Strings(std::vector<std::string_view> views) {
  SortUnique(&views);
  return std::vector<std::string>(views.begin(), views.end());
}

std::vector<std::pair<std::string, std::string>> Fields(std::vector<std::pair<std::string_view, std::string_view>> views) {
  SortUnique(&views);
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(views.size());
  for (const auto& [global, field] : views) out.emplace_back(global, field);
  return out;
}

}  // namespace

bool AnalyzeScript(const std::string& script, const std::string& chunkName, ScriptNames* out, std::string* error) {
  *out = ScriptNames();
  Found found;
  if (!Analyze(script, chunkName, &found, error)) return false;
  // The views point into the thread's dump buffer, so everything is copied out before return.
  std::vector<std::string_view> all = found.read;
  all.insert(all.end(), found.written.begin(), found.written.end());
  out->globals = Strings(std::move(all));
  out->read = Strings(std::move(found.read));
  out->written = Strings(std::move(found.written));
  out->fields = Fields(std::move(found.fields));
  return true;
}

std::vector<std::pair<std::string, std::string>> FormulaReferences(std::string_view script) {
  // Every field access is written with one of these; most scripts have some, but those without
  // cost nothing.
  if (std::none_of(script.begin(), script.end(), [](char c) { return c == '.' || c == ':' || c == '['; })) return {};
  Found found;
  std::string error;
  if (!Analyze(script, "script", &found, &error)) return {};
  return Fields(std::move(found.fields));
}

}  // namespace kv::engine
