#include "app/app.h"

int main(int argc, char** argv) {
    return RunTarnwell(argc, argv);
}
