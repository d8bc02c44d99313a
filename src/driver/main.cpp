#include "driver/driver.h"

int main(int argc, char** argv) { return mdtree_main(argc, argv); }
