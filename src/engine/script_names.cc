#include "engine/script_names.h"

#include <lua.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

namespace kv::engine {
namespace {

// Lua 5.4 opcodes the reader looks at (lopcodes.h).
constexpr int kOpGetUpval = 9;
constexpr int kOpGetTabUp = 11;
constexpr int kOpGetField = 14;
constexpr int kOpSetTabUp = 15;
constexpr int kOpSetField = 18;

int Op(uint32_t i) { return static_cast<int>(i & 0x7F); }
int ArgA(uint32_t i) { return static_cast<int>((i >> 7) & 0xFF); }
int ArgB(uint32_t i) { return static_cast<int>((i >> 16) & 0xFF); }
int ArgC(uint32_t i) { return static_cast<int>((i >> 24) & 0xFF); }

// Reads the binary chunk lua_dump writes (ldump.c of Lua 5.4).
class DumpReader {
 public:
  DumpReader(const std::string& data) : d_(data) {}

  bool ReadHeader() {
    // Signature, version, format, LUAC_DATA, three sizes, a test integer and a test number.
    if (!Need(4 + 1 + 1 + 6 + 3 + 8 + 8 + 1)) return false;
    if (std::memcmp(d_.data(), LUA_SIGNATURE, 4) != 0 || static_cast<uint8_t>(d_[4]) != 0x54) return false;
    if (d_[12] != 4 || d_[13] != 8 || d_[14] != 8) return false;
    pos_ = 4 + 1 + 1 + 6 + 3 + 8 + 8 + 1;  // ... and the main closure's upvalue count
    return true;
  }

  bool ReadFunction(ScriptNames* out, std::set<std::string>* globals, std::set<std::string>* read,
                    std::set<std::string>* written, std::set<std::pair<std::string, std::string>>* fields) {
    std::string source;
    uint64_t n = 0;
    if (!String(&source) || !Size(&n) || !Size(&n) || !Skip(3)) return false;
    uint64_t ncode = 0;
    if (!Size(&ncode) || !Need(ncode * 4)) return false;
    std::vector<uint32_t> code(ncode);
    std::memcpy(code.data(), d_.data() + pos_, ncode * 4);
    pos_ += ncode * 4;

    uint64_t nk = 0;
    if (!Size(&nk)) return false;
    std::vector<std::string> k(nk);
    std::vector<bool> isString(nk, false);
    for (uint64_t i = 0; i < nk; ++i) {
      if (!Need(1)) return false;
      const int tt = static_cast<uint8_t>(d_[pos_++]);
      if (tt == 3 || tt == 19) {  // integer, float
        if (!Skip(8)) return false;
      } else if (tt == 4 || tt == 20) {  // short, long string
        if (!String(&k[i])) return false;
        isString[i] = true;
      } else if (tt != 0 && tt != 1 && tt != 17) {  // nil, false, true
        return false;
      }
    }

    uint64_t nup = 0;
    if (!Size(&nup) || !Skip(nup * 3)) return false;

    uint64_t nprotos = 0;
    if (!Size(&nprotos)) return false;
    for (uint64_t i = 0; i < nprotos; ++i)
      if (!ReadFunction(out, globals, read, written, fields)) return false;

    // Debug information: line info, absolute line info, local variables, upvalue names.
    uint64_t m = 0;
    if (!Size(&m) || !Skip(m)) return false;
    if (!Size(&m)) return false;
    for (uint64_t i = 0; i < m; ++i)
      if (!Size(&n) || !Size(&n)) return false;
    if (!Size(&m)) return false;
    for (uint64_t i = 0; i < m; ++i) {
      std::string name;
      if (!String(&name) || !Size(&n) || !Size(&n)) return false;
    }
    if (!Size(&m)) return false;
    int envUp = -1;
    for (uint64_t i = 0; i < m; ++i) {
      std::string name;
      if (!String(&name)) return false;
      if (name == "_ENV" && envUp < 0) envUp = static_cast<int>(i);
    }
    if (envUp < 0) return true;

    auto key = [&](int index) -> const std::string* {
      return index >= 0 && static_cast<uint64_t>(index) < nk && isString[index] ? &k[index] : nullptr;
    };
    // The register that holds _ENV after GETUPVAL (large scripts), or -1.
    int envReg = -1;
    for (size_t pc = 0; pc < code.size(); ++pc) {
      const uint32_t i = code[pc];
      const int op = Op(i);
      const std::string* name = nullptr;
      bool write = false;
      int target = -1;
      if (op == kOpGetTabUp && ArgB(i) == envUp) {
        name = key(ArgC(i));
        target = ArgA(i);
      } else if (op == kOpSetTabUp && ArgA(i) == envUp) {
        name = key(ArgB(i));
        write = true;
      } else if (op == kOpGetField && envReg >= 0 && ArgB(i) == envReg) {
        name = key(ArgC(i));
        target = ArgA(i);
      } else if (op == kOpSetField && envReg >= 0 && ArgA(i) == envReg) {
        name = key(ArgB(i));
        write = true;
      }
      if (op == kOpGetUpval && ArgB(i) == envUp) envReg = ArgA(i);
      else if (envReg >= 0 && ArgA(i) == envReg && op != kOpSetField && op != kOpSetTabUp) envReg = -1;
      if (!name) continue;
      globals->insert(*name);
      (write ? written : read)->insert(*name);
      // A field read straight off the global just fetched: Lib.Formula.
      if (target >= 0 && pc + 1 < code.size()) {
        const uint32_t next = code[pc + 1];
        if (Op(next) == kOpGetField && ArgB(next) == target)
          if (const std::string* field = key(ArgC(next))) fields->insert({*name, *field});
      }
    }
    return true;
  }

 private:
  bool Need(uint64_t n) const { return pos_ + n <= d_.size(); }
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
  bool String(std::string* s) {
    uint64_t n = 0;
    if (!Size(&n)) return false;
    s->clear();
    if (n == 0) return true;
    if (!Need(n - 1)) return false;
    s->assign(d_.data() + pos_, n - 1);
    pos_ += n - 1;
    return true;
  }

  const std::string& d_;
  size_t pos_ = 0;
};

int Writer(lua_State*, const void* p, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
  return 0;
}

}  // namespace

bool AnalyzeScript(const std::string& script, const std::string& chunkName, ScriptNames* out, std::string* error) {
  *out = ScriptNames();
  lua_State* L = luaL_newstate();
  if (!L) {
    *error = "not enough memory";
    return false;
  }
  const std::string name = "=" + chunkName;
  if (luaL_loadbufferx(L, script.data(), script.size(), name.c_str(), "t") != LUA_OK) {
    *error = lua_tostring(L, -1) ? lua_tostring(L, -1) : "syntax error";
    lua_close(L);
    return false;
  }
  std::string dump;
  lua_dump(L, &Writer, &dump, 0);
  lua_close(L);

  std::set<std::string> globals, read, written;
  std::set<std::pair<std::string, std::string>> fields;
  DumpReader reader(dump);
  if (!reader.ReadHeader() || !reader.ReadFunction(out, &globals, &read, &written, &fields)) {
    *error = "the compiled script could not be read";
    return false;
  }
  out->globals.assign(globals.begin(), globals.end());
  out->read.assign(read.begin(), read.end());
  out->written.assign(written.begin(), written.end());
  out->fields.assign(fields.begin(), fields.end());
  return true;
}

}  // namespace kv::engine
