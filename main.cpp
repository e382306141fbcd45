#include <cstdlib>

#include "Vantrel.h"

int main(int argc, char** argv) {
    std::exit(runAgent(argc, argv));
}
