// The Tavelo program.
#include "app/program.h"

int main(int argc, char** argv) { return tavelo::TaveloMain(argc, argv); }
