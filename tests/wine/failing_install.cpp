// Stands in for a build whose --install fails, so that the MSI's failure path
// can be driven: exits 1 for --install and 0 for anything else.
#include <cstring>

int main(int argc, char *argv[])
{
    return argc == 2 && std::strcmp(argv[1], "--install") == 0 ? 1 : 0;
}
