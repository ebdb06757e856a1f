#include "velmogpio_cli.h"

int main(int argc, char **argv)
{
    return velmogpio_main(argc, argv, stdout, stderr);
}
