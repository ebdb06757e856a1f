// VelmoGPIO: the console demo of the Velmo board's GPIO lines, on the
// board. Command-line arguments are ignored.
#include "console.h"

int main()
{
    return demo_menu();
}
