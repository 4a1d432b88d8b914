#include <cstring>
#include "check.h"

int main(int argc, char** argv) {
  int run = 0;
  for (auto& c : check::registry()) {
    if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
    int before = check::failures();
    c.fn();
    ++run;
    if (check::failures() != before) std::fprintf(stderr, "  in %s\n", c.name);
  }
  std::printf("%d native tests, %d failed checks\n", run, check::failures());
  return check::failures() ? 1 : 0;
}
