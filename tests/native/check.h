// A minimal native test harness: TEST(name) { CHECK(cond); CHECK_EQ(a, b); }
// Every test source under tests/native/ is linked into one binary with main.cpp.
#pragma once
#include <cstdio>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace check {
struct Case { const char* name; std::function<void()> fn; };
inline std::vector<Case>& registry() { static std::vector<Case> r; return r; }
inline int& failures() { static int f = 0; return f; }
struct Reg { Reg(const char* n, std::function<void()> f) { registry().push_back({n, std::move(f)}); } };
template <class T> std::string show(const T& v) { std::ostringstream o; o << v; return o.str(); }
inline void fail(const char* file, int line, const std::string& what) {
  ++failures();
  std::fprintf(stderr, "%s:%d: FAILED: %s\n", file, line, what.c_str());
}
}  // namespace check

#define QK_CAT2(a, b) a##b
#define QK_CAT(a, b) QK_CAT2(a, b)
#define TEST(name)                                                        \
  static void QK_CAT(test_, name)();                                      \
  static check::Reg QK_CAT(reg_, name)(#name, QK_CAT(test_, name));       \
  static void QK_CAT(test_, name)()
#define CHECK(cond) \
  do { if (!(cond)) check::fail(__FILE__, __LINE__, #cond); } while (0)
#define CHECK_EQ(a, b)                                                                  \
  do {                                                                                  \
    auto&& qk_a = (a); auto&& qk_b = (b);                                               \
    if (!(qk_a == qk_b))                                                                \
      check::fail(__FILE__, __LINE__, std::string(#a " == " #b "  [") +                  \
                  check::show(qk_a) + " vs " + check::show(qk_b) + "]");                \
  } while (0)

// An error text without the " at line L, byte B" (or " at byte B") that
// says where it happened, for tests about what went wrong rather than where.
namespace check {
inline std::string without_position(const std::string& text) {
  static const std::regex place(" at (line [0-9]+, )?byte [0-9]+$");
  return std::regex_replace(text, place, "");
}
}  // namespace check
