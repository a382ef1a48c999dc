/* Both CAN headers must stay valid C as well as C++. */
#include "CanApi2.h"
#include "vcinpl.h"

int kavrel_can_abi_check(void);
int kavrel_can_abi_check(void)
{
    return (int)sizeof(VCINPL_CANMSG) + (int)sizeof(CANAPI2_MSG);
}
