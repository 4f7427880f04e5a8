#include "commandline.h"

// The verbs alone, for servers: Qt Core and OpenSSL, no display, no widget.
int main(int argc, char *argv[])
{
    return Ps::commandLineMain(argc, argv, Ps::Program::CommandLineOnly);
}
