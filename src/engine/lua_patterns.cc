#include "engine/lua_patterns.h"

#include <lua.hpp>

#include <cctype>
#include <cstddef>
#include <cstring>

namespace kv::engine {
namespace {

constexpr int kMaxCaptures = 32;  // as Lua's LUA_MAXCAPTURES
constexpr int kMaxDepth = 200;    // recursion of the matcher, as Lua's MAXCCALLS
constexpr ptrdiff_t kUnfinished = -1;
constexpr ptrdiff_t kPosition = -2;
constexpr char kEsc = '%';

struct Capture {
  const char* init;
  ptrdiff_t len;
};

struct Matcher {
  const char* srcInit;
  const char* srcEnd;
  const char* pEnd;
  lua_State* L;
  PatternStep step;
  long budget;
  int depth;
  int level;
  Capture capture[kMaxCaptures];
};

PatternStep StepOf(lua_State* L) {
  return reinterpret_cast<PatternStep>(lua_touserdata(L, lua_upvalueindex(1)));
}

void Count(Matcher* m, long steps) {
  m->budget -= steps;
  if (m->budget <= 0) {
    m->budget = kPatternStepPeriod;
    m->step(m->L);
  }
}

void Init(Matcher* m, lua_State* L, const char* s, size_t ls, const char* p, size_t lp, PatternStep step) {
  m->L = L;
  m->srcInit = s;
  m->srcEnd = s + ls;
  m->pEnd = p + lp;
  m->step = step;
  m->budget = kPatternStepPeriod;
}

void Restart(Matcher* m) {
  m->level = 0;
  m->depth = kMaxDepth;
}

// The end of the single-character class at `p`.
const char* ClassEnd(Matcher* m, const char* p) {
  if (*p++ == kEsc) {
    if (p >= m->pEnd) luaL_error(m->L, "malformed pattern (ends with '%%')");
    return p + 1;
  }
  if (*(p - 1) == '[') {
    if (p < m->pEnd && *p == '^') p++;
    do {  // the first character of a set is never its end, so "[]]" holds ']'
      if (p >= m->pEnd) luaL_error(m->L, "malformed pattern (missing ']')");
      const char c = *p++;
      if (c == kEsc && p < m->pEnd) p++;
    } while (p >= m->pEnd || *p != ']');
    return p + 1;
  }
  return p;
}

bool MatchClass(int c, int cl) {
  bool res;
  switch (std::tolower(cl)) {
    case 'a': res = std::isalpha(c); break;
    case 'c': res = std::iscntrl(c); break;
    case 'd': res = std::isdigit(c); break;
    case 'g': res = std::isgraph(c); break;
    case 'l': res = std::islower(c); break;
    case 'p': res = std::ispunct(c); break;
    case 's': res = std::isspace(c); break;
    case 'u': res = std::isupper(c); break;
    case 'w': res = std::isalnum(c); break;
    case 'x': res = std::isxdigit(c); break;
    case 'z': res = c == 0; break;  // old, still accepted
    default: return cl == c;
  }
  return std::isupper(cl) ? !res : res;
}

// `p` is the '[' of a set, `ec` its closing ']'.
bool MatchSet(int c, const char* p, const char* ec) {
  bool sig = true;
  if (p[1] == '^') {
    sig = false;
    p++;
  }
  while (++p < ec) {
    if (*p == kEsc) {
      p++;
      if (MatchClass(c, static_cast<unsigned char>(*p))) return sig;
    } else if (p[1] == '-' && p + 2 < ec) {
      p += 2;
      if (static_cast<unsigned char>(p[-2]) <= c && c <= static_cast<unsigned char>(*p)) return sig;
    } else if (static_cast<unsigned char>(*p) == c) {
      return sig;
    }
  }
  return !sig;
}

bool SingleMatch(Matcher* m, const char* s, const char* p, const char* ep) {
  if (s >= m->srcEnd) return false;
  const int c = static_cast<unsigned char>(*s);
  switch (*p) {
    case '.': return true;
    case kEsc: return MatchClass(c, static_cast<unsigned char>(p[1]));
    case '[': return MatchSet(c, p, ep - 1);
    default: return static_cast<unsigned char>(*p) == c;
  }
}

const char* DoMatch(Matcher* m, const char* s, const char* p);

const char* MatchBalance(Matcher* m, const char* s, const char* p) {
  if (p >= m->pEnd - 1) luaL_error(m->L, "malformed pattern (missing arguments to '%%b')");
  if (s >= m->srcEnd || *s != *p) return nullptr;
  const char b = *p, e = p[1];
  int open = 1;
  const char* start = s;
  while (++s < m->srcEnd) {
    if (*s == e) {
      if (--open == 0) {
        Count(m, s - start);
        return s + 1;
      }
    } else if (*s == b) {
      open++;
    }
  }
  Count(m, s - start);
  return nullptr;
}

const char* MaxExpand(Matcher* m, const char* s, const char* p, const char* ep) {
  ptrdiff_t i = 0;
  while (SingleMatch(m, s + i, p, ep)) i++;
  Count(m, i);
  // Tries the longest repetition first, then one fewer.
  while (i >= 0) {
    if (const char* res = DoMatch(m, s + i, ep + 1)) return res;
    i--;
  }
  return nullptr;
}

const char* MinExpand(Matcher* m, const char* s, const char* p, const char* ep) {
  for (;;) {
    if (const char* res = DoMatch(m, s, ep + 1)) return res;
    if (!SingleMatch(m, s, p, ep)) return nullptr;
    s++;
  }
}

const char* StartCapture(Matcher* m, const char* s, const char* p, ptrdiff_t what) {
  if (m->level >= kMaxCaptures) luaL_error(m->L, "too many captures");
  m->capture[m->level].init = s;
  m->capture[m->level].len = what;
  m->level++;
  const char* res = DoMatch(m, s, p);
  if (!res) m->level--;
  return res;
}

const char* EndCapture(Matcher* m, const char* s, const char* p) {
  int l = m->level - 1;
  while (l >= 0 && m->capture[l].len != kUnfinished) l--;
  if (l < 0) luaL_error(m->L, "invalid pattern capture");
  m->capture[l].len = s - m->capture[l].init;
  const char* res = DoMatch(m, s, p);
  if (!res) m->capture[l].len = kUnfinished;
  return res;
}

const char* MatchCapture(Matcher* m, const char* s, int digit) {
  const int l = digit - '1';
  if (l < 0 || l >= m->level || m->capture[l].len == kUnfinished)
    luaL_error(m->L, "invalid capture index %%%d", l + 1);
  const ptrdiff_t len = m->capture[l].len;
  // A position capture has no text, so it never matches again.
  if (len >= 0 && m->srcEnd - s >= len && std::memcmp(m->capture[l].init, s, static_cast<size_t>(len)) == 0) {
    Count(m, len);
    return s + len;
  }
  return nullptr;
}

// The end of the match of pattern `p` at `s`, or null.
const char* DoMatch(Matcher* m, const char* s, const char* p) {
  if (m->depth-- == 0) luaL_error(m->L, "pattern too complex");
  Count(m, 1);
  for (;;) {
    if (p == m->pEnd) break;
    const char next = p + 1 < m->pEnd ? p[1] : '\0';
    if (*p == '(') {
      s = next == ')' ? StartCapture(m, s, p + 2, kPosition) : StartCapture(m, s, p + 1, kUnfinished);
      break;
    }
    if (*p == ')') {
      s = EndCapture(m, s, p + 1);
      break;
    }
    if (*p == '$' && p + 1 == m->pEnd) {
      s = s == m->srcEnd ? s : nullptr;
      break;
    }
    if (*p == kEsc && next == 'b') {
      s = MatchBalance(m, s, p + 2);
      if (!s) break;
      p += 4;
      continue;
    }
    if (*p == kEsc && next == 'f') {
      p += 2;
      if (p >= m->pEnd || *p != '[') luaL_error(m->L, "missing '[' after '%%f' in pattern");
      const char* ep = ClassEnd(m, p);
      const int prev = s == m->srcInit ? 0 : static_cast<unsigned char>(s[-1]);
      const int cur = s < m->srcEnd ? static_cast<unsigned char>(*s) : 0;
      if (!MatchSet(prev, p, ep - 1) && MatchSet(cur, p, ep - 1)) {
        p = ep;
        continue;
      }
      s = nullptr;
      break;
    }
    if (*p == kEsc && next >= '0' && next <= '9') {
      s = MatchCapture(m, s, next);
      if (!s) break;
      p += 2;
      continue;
    }
    const char* ep = ClassEnd(m, p);
    const char q = ep < m->pEnd ? *ep : '\0';
    if (!SingleMatch(m, s, p, ep)) {
      if (q == '*' || q == '?' || q == '-') {  // the item may be absent
        p = ep + 1;
        continue;
      }
      s = nullptr;
      break;
    }
    if (q == '?') {
      if (const char* res = DoMatch(m, s + 1, ep + 1)) {
        s = res;
        break;
      }
      p = ep + 1;
      continue;
    }
    if (q == '+') {
      s = MaxExpand(m, s + 1, p, ep);
      break;
    }
    if (q == '*') {
      s = MaxExpand(m, s, p, ep);
      break;
    }
    if (q == '-') {
      s = MinExpand(m, s, p, ep);
      break;
    }
    s++;
    p = ep;
  }
  m->depth++;
  return s;
}

// Pushes capture `i` of the match s..e (the whole match for capture 0 of a pattern without
// any): a position as a number, else the text.
void PushCapture(Matcher* m, int i, const char* s, const char* e) {
  if (i >= m->level) {
    if (i != 0) luaL_error(m->L, "invalid capture index %%%d", i + 1);
    lua_pushlstring(m->L, s, static_cast<size_t>(e - s));
    return;
  }
  const Capture& c = m->capture[i];
  if (c.len == kUnfinished) luaL_error(m->L, "unfinished capture");
  if (c.len == kPosition) {
    lua_pushinteger(m->L, static_cast<lua_Integer>(c.init - m->srcInit) + 1);
  } else {
    lua_pushlstring(m->L, c.init, static_cast<size_t>(c.len));
  }
}

// Pushes every capture (the whole match when there is none and `s` is given); their count.
int PushCaptures(Matcher* m, const char* s, const char* e) {
  const int n = (m->level == 0 && s) ? 1 : m->level;
  luaL_checkstack(m->L, n, "too many captures");
  for (int i = 0; i < n; i++) PushCapture(m, i, s, e);
  return n;
}

// A position argument as a 1-based index into a string of `len` bytes, as Lua reads one.
size_t StartIndex(lua_Integer pos, size_t len) {
  if (pos > 0) return static_cast<size_t>(pos);
  if (pos == 0) return 1;
  if (pos < -static_cast<lua_Integer>(len)) return 1;
  return len + static_cast<size_t>(pos) + 1;
}

bool NoSpecials(const char* p, size_t lp) {
  for (size_t i = 0; i < lp; i++)
    if (std::strchr("^$*+?.([%-", p[i]) && p[i] != '\0') return false;
  return true;
}

// Plain search, counted: a naive search is quadratic on inputs such as "aaa...ab" in "aaa...a".
const char* FindPlain(Matcher* m, const char* s, size_t ls, const char* p, size_t lp) {
  if (lp == 0) return s;
  if (lp > ls) return nullptr;
  const char* last = s + (ls - lp);
  const long cost = static_cast<long>(lp < 64 ? 1 : lp / 64);
  while (s <= last) {
    const void* hit = std::memchr(s, *p, static_cast<size_t>(last - s) + 1);
    if (!hit) return nullptr;
    const char* at = static_cast<const char*>(hit);
    if (std::memcmp(at + 1, p + 1, lp - 1) == 0) return at;
    Count(m, cost);
    s = at + 1;
  }
  return nullptr;
}

int FindAux(lua_State* L, bool find) {
  size_t ls, lp;
  const char* s = luaL_checklstring(L, 1, &ls);
  const char* p = luaL_checklstring(L, 2, &lp);
  const size_t init = StartIndex(luaL_optinteger(L, 3, 1), ls) - 1;
  if (init > ls) {
    luaL_pushfail(L);
    return 1;
  }
  Matcher m;
  Init(&m, L, s, ls, p, lp, StepOf(L));
  if (find && (lua_toboolean(L, 4) || NoSpecials(p, lp))) {
    if (const char* at = FindPlain(&m, s + init, ls - init, p, lp)) {
      lua_pushinteger(L, static_cast<lua_Integer>(at - s) + 1);
      lua_pushinteger(L, static_cast<lua_Integer>(at - s + lp));
      return 2;
    }
    luaL_pushfail(L);
    return 1;
  }
  const char* s1 = s + init;
  const bool anchor = lp > 0 && *p == '^';
  if (anchor) {
    p++;
    lp--;
    m.pEnd = p + lp;
  }
  do {
    Restart(&m);
    if (const char* e = DoMatch(&m, s1, p)) {
      if (find) {
        lua_pushinteger(L, static_cast<lua_Integer>(s1 - s) + 1);
        lua_pushinteger(L, static_cast<lua_Integer>(e - s));
        return PushCaptures(&m, nullptr, nullptr) + 2;
      }
      return PushCaptures(&m, s1, e);
    }
  } while (s1++ < m.srcEnd && !anchor);
  luaL_pushfail(L);
  return 1;
}

int Find(lua_State* L) { return FindAux(L, true); }
int Match(lua_State* L) { return FindAux(L, false); }

// The iteration of gmatch: upvalues are the step, the subject, the pattern and the state
// (where the next search starts and where the last match ended, as offsets, -1 for none).
struct GmatchState {
  ptrdiff_t src, lastMatch;
};

int GmatchNext(lua_State* L) {
  size_t ls, lp;
  const char* s = lua_tolstring(L, lua_upvalueindex(2), &ls);
  const char* p = lua_tolstring(L, lua_upvalueindex(3), &lp);
  auto* st = static_cast<GmatchState*>(lua_touserdata(L, lua_upvalueindex(4)));
  if (st->src > static_cast<ptrdiff_t>(ls)) return 0;
  Matcher m;
  Init(&m, L, s, ls, p, lp, StepOf(L));
  for (const char* src = s + st->src; src <= m.srcEnd; src++) {
    Restart(&m);
    const char* e = DoMatch(&m, src, p);
    if (e && e - s != st->lastMatch) {
      st->src = st->lastMatch = e - s;
      return PushCaptures(&m, src, e);
    }
  }
  st->src = static_cast<ptrdiff_t>(ls) + 1;
  return 0;
}

int Gmatch(lua_State* L) {
  size_t ls;
  luaL_checklstring(L, 1, &ls);
  luaL_checkstring(L, 2);
  size_t init = StartIndex(luaL_optinteger(L, 3, 1), ls) - 1;
  if (init > ls) init = ls + 1;  // starts past the end: no match
  lua_settop(L, 2);
  auto* st = static_cast<GmatchState*>(lua_newuserdatauv(L, sizeof(GmatchState), 0));
  st->src = static_cast<ptrdiff_t>(init);
  st->lastMatch = -1;
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);  // step, s, p, state
  lua_pushcclosure(L, &GmatchNext, 4);
  return 1;
}

// Appends the replacement string (argument 3) for the match s..e, with its %0-%9 and %%.
void AddString(Matcher* m, luaL_Buffer* b, const char* s, const char* e) {
  lua_State* L = m->L;
  size_t l;
  const char* news = lua_tolstring(L, 3, &l);
  const char* p;
  while ((p = static_cast<const char*>(std::memchr(news, kEsc, l))) != nullptr) {
    luaL_addlstring(b, news, static_cast<size_t>(p - news));
    p++;
    if (*p == kEsc) {
      luaL_addchar(b, *p);
    } else if (*p == '0') {
      luaL_addlstring(b, s, static_cast<size_t>(e - s));
    } else if (std::isdigit(static_cast<unsigned char>(*p))) {
      PushCapture(m, *p - '1', s, e);
      luaL_tolstring(L, -1, nullptr);
      lua_remove(L, -2);
      luaL_addvalue(b);
    } else {
      luaL_error(L, "invalid use of '%c' in replacement string", kEsc);
    }
    l -= static_cast<size_t>(p + 1 - news);
    news = p + 1;
  }
  luaL_addlstring(b, news, l);
}

// Appends the replacement of the match s..e; false when it kept the match as it was.
bool AddValue(Matcher* m, luaL_Buffer* b, const char* s, const char* e, int tr) {
  lua_State* L = m->L;
  if (tr == LUA_TFUNCTION) {
    lua_pushvalue(L, 3);
    const int n = PushCaptures(m, s, e);
    lua_call(L, n, 1);
  } else if (tr == LUA_TTABLE) {
    PushCapture(m, 0, s, e);
    lua_gettable(L, 3);
  } else {
    AddString(m, b, s, e);
    return true;
  }
  if (!lua_toboolean(L, -1)) {
    lua_pop(L, 1);
    luaL_addlstring(b, s, static_cast<size_t>(e - s));
    return false;
  }
  if (!lua_isstring(L, -1)) return luaL_error(L, "invalid replacement value (a %s)", luaL_typename(L, -1)) != 0;
  luaL_addvalue(b);
  return true;
}

int Gsub(lua_State* L) {
  size_t srcl, lp;
  const char* src = luaL_checklstring(L, 1, &srcl);
  const char* p = luaL_checklstring(L, 2, &lp);
  const char* lastMatch = nullptr;
  const int tr = lua_type(L, 3);
  const lua_Integer maxN = luaL_optinteger(L, 4, static_cast<lua_Integer>(srcl) + 1);
  const bool anchor = lp > 0 && *p == '^';
  luaL_argexpected(L, tr == LUA_TNUMBER || tr == LUA_TSTRING || tr == LUA_TFUNCTION || tr == LUA_TTABLE, 3,
                   "string/function/table");
  if (anchor) {
    p++;
    lp--;
  }
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  Matcher m;
  Init(&m, L, src, srcl, p, lp, StepOf(L));
  lua_Integer n = 0;
  bool changed = false;
  while (n < maxN) {
    Restart(&m);
    const char* e = DoMatch(&m, src, p);
    if (e && e != lastMatch) {
      n++;
      changed = AddValue(&m, &b, src, e, tr) || changed;
      src = lastMatch = e;
    } else if (src < m.srcEnd) {
      luaL_addchar(&b, *src++);
    } else {
      break;
    }
    if (anchor) break;
  }
  if (!changed) {
    lua_pushvalue(L, 1);
  } else {
    luaL_addlstring(&b, src, static_cast<size_t>(m.srcEnd - src));
    luaL_pushresult(&b);
  }
  lua_pushinteger(L, n);
  return 2;
}

}  // namespace

void InstallBoundedPatterns(lua_State* L, int libIndex, PatternStep step) {
  libIndex = lua_absindex(L, libIndex);
  const struct {
    const char* name;
    lua_CFunction f;
  } functions[] = {{"find", &Find}, {"match", &Match}, {"gmatch", &Gmatch}, {"gsub", &Gsub}};
  for (const auto& fn : functions) {
    lua_pushlightuserdata(L, reinterpret_cast<void*>(step));
    lua_pushcclosure(L, fn.f, 1);
    lua_setfield(L, libIndex, fn.name);
  }
}

}  // namespace kv::engine
