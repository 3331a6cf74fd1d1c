#include "app/driver.h"

int main(int argc, char** argv) { CommandLineDriver(argc, argv); }
