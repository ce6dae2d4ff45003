#include "server/recursor_main.h"

#include <unistd.h>

int main(int argc, char** argv) { return recursor::recursorMain(argc, argv, environ); }
