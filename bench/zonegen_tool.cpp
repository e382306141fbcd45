// Writes a generated hosting-server zones file:
//   zonegen_tool ZONES PATH [DIRECTORY [SEED]]
// DIRECTORY becomes the options' directory (it must exist for named-checkconf).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zonegen.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ZONES PATH [DIRECTORY [SEED]]\n", argv[0]);
        return 2;
    }
    zonegen::Layout layout;
    layout.zoneCount = std::strtoull(argv[1], nullptr, 10);
    if (argc > 3) {
        layout.directory = argv[3];
    }
    if (argc > 4) {
        layout.seed = std::strtoull(argv[4], nullptr, 10);
    }
    if (!zonegen::writeFile(argv[2], layout)) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
