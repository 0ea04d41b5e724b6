#include "run/probe.h"

int main(int argc, char** argv) {
    return ntsnap::ntsnapMain(argc, argv);
}
