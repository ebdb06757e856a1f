/* The public header in the demo edition, compiled as C. */
#include "VELMOGPIOLib.h"

int header_demo_uses_names(void);

int header_demo_uses_names(void)
{
    char *text = 0;
    return VELMOGPIOInit() + seterror(0) + KVNGetLastError(&text) + (int)sizeof buffer;
}
