#pragma once
// Turns machine faults (access violation, integer division by zero) on the calling thread into
// C++ exceptions, so the dispatch wrappers and the schedule loops can contain them. Requires the
// code to be built with -fnon-call-exceptions. A fault on a thread without the translator keeps
// its default action.
#include <stdexcept>

namespace kv {

struct accessviolation_exception : std::runtime_error {
  accessviolation_exception() : std::runtime_error("access violation") {}
};
struct divisionbyzero_exception : std::runtime_error {
  divisionbyzero_exception() : std::runtime_error("integer division by zero") {}
};

// Installs the translator for the calling thread (idempotent).
void InstallFaultTranslator();

}  // namespace kv
