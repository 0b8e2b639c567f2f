#include "App/Application.h"

int main(int argc, char** argv) {
    return qv::runQuorvanta(argc, argv);
}
