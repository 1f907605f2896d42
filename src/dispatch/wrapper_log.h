#pragma once
// The lines the dispatch wrappers write around a call.
#include <string>

#include "com/variant.h"
#include "protocol/method_info.h"

namespace kv {

// A parameter value as the InParams lines show it: strings unchanged (null as nothing), longs in
// decimal, doubles and dates with "%.16f" below 1e16 and "%.16e" from there on.
std::string FormatLoggedValue(const com::Variant& v);

// Writes the InParams lines of `method` for `args` (when the category is on).
void LogInParams(const std::string& qualified, const MethodInfo& method, const std::vector<com::Variant>& args);

// Writes the Results lines of `method` (when the category is on).
void LogResults(const std::string& qualified, const MethodInfo& method, const std::vector<com::Variant>& args,
                const com::Variant& result);

}  // namespace kv
