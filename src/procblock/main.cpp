// procblock: stops the programs listed in vornik.txt (working directory).
#include "procblock/Startup.hpp"

int main() {
  procblock::startup::run();
  procblock::startup::runLoop();
}
