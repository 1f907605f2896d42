#pragma once
// How kelvarin-cli reads command-line words as values of the method table's parameter types:
//   string  the word as given, or "@NAME" for a string kept earlier in a batch (passed on
//           byte for byte; a name not kept leaves the word as text)
//   long    a decimal integer in the 32-bit range ("-12"); nothing else
//   double  a finite decimal number ("2.5", "-1e3"); nothing else
//   bool    true, false (any case), 1, 0 or -1
//   date    an OLE day number ("45292.5") or "YYYY-MM-DD", optionally followed by " hh:mm" or
//           " hh:mm:ss" (a "T" may stand for the space); impossible dates are refused
//   object  "@NAME" for an object kept earlier in a batch, "null" or "" for no object
//   variant a literal: an integer → VT_I4 (VT_R8 beyond 32 bits), any other number → VT_R8,
//           true/false → VT_BOOL, null, empty or nothing → VT_EMPTY, "text" (JSON escapes) →
//           VT_BSTR, [a, b, ...] → an array of variants (lower bound 0, may nest), @NAME → a
//           value kept in a batch; any other text is taken verbatim as a VT_BSTR (inside
//           brackets a bare word ends at "," or "]")
// All routines return false with a one-line reason in *error for a word that does not fit.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "com/variant.h"
#include "protocol/method_info.h"

namespace kv::cli {

// Values kept by name in a batch ("NAME = METHOD ..."), for "@NAME" arguments.
using NamedValues = std::map<std::string, com::Variant, std::less<>>;

bool ParseLong(std::string_view text, int32_t* out, std::string* error);
bool ParseDouble(std::string_view text, double* out, std::string* error);
bool ParseBool(std::string_view text, bool* out, std::string* error);
bool ParseDate(std::string_view text, double* out, std::string* error);
bool ParseVariantLiteral(std::string_view text, const NamedValues& names, com::Variant* out, std::string* error);

// One word for a parameter of `type`, as a Variant of that type (VT_DISPATCH for objects).
bool ParseArgument(ParamType type, std::string_view text, const NamedValues& names, com::Variant* out,
                   std::string* error);

// The words for a method's in and in/out parameters, in declaration order. Every in parameter
// needs a word; in/out parameters after the last in parameter may be left out and then start
// as the type's empty value (0, "", false, no object, VT_EMPTY).
bool ParseArguments(const MethodInfo& method, const std::vector<std::string>& words, const NamedValues& names,
                    std::vector<com::Variant>* out, std::string* error);

// How many words a method needs at least: its in and in/out parameters up to the last in one.
size_t RequiredArgumentCount(const MethodInfo& method);

// "string", "long", "double", "date", "bool", "object", "variant".
const char* TypeName(ParamType type);

}  // namespace kv::cli
