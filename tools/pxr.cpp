// pxr: the loader and inspection command of libpxrlib.
#include "tool.h"

int main(int argc, char **argv) {
    return pxrtool::pxr_main(argc, argv);
}
