#include <iostream>

#include "app/commands.h"

namespace kadro::app {

int runInspect(const Args&) {
  std::cerr << "kadro inspect: not built yet\n";
  return 1;
}

}  // namespace kadro::app
