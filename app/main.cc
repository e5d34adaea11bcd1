#include "app/kovalset.h"

int main(int argc, char** argv) { return RunKovalset(argc, argv); }
