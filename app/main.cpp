#include "UpdaterMain.h"

int main(int argc, char** argv) {
    return UpdaterNarrowMain(argc, argv);
}
