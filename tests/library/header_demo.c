/* The public header in the demo edition, compiled as C, its macros too. */
#include "VELMOGPIOLib.h"

int header_demo_uses_names(void);

int header_demo_uses_names(void)
{
    char *text = 0;
    return VELMOGPIOInit() + seterror(VELMOGPIO_ERR_GPIO) + KVNGetLastError(&text) + (int)sizeof buffer +
           VELMOGPIO_LINE_BANK(6) + VELMOGPIO_DIRECTION_REGISTER(6) + VELMOGPIO_DATA_REGISTER(6) +
           (int)(VELMOGPIO_BIT(VELMOGPIO_LINE_POS(6)) & 0xFFu) + VELMOGPIO_BANK1_DATA + VELMOGPIO_BANK2_DATA +
           VELMOGPIO_BANK1_DIRECTION + VELMOGPIO_BANK2_DIRECTION + VELMOGPIO_ERR_VALUE + VELMOGPIO_ERR_CONFIG;
}
