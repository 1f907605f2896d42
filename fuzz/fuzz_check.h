#pragma once
// A property a fuzz target asserts: a broken one stops the run with a message, and libFuzzer
// keeps the input that broke it.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)
