// The public header after <windows.h>, whose STATUS_TIMEOUT macro (0x102)
// would otherwise break the constant's declaration and replace it where it
// is named. The macro is imitated here so that every platform's build checks
// the header's guard, not only the Windows one.
#ifndef STATUS_TIMEOUT
#define STATUS_TIMEOUT ((unsigned long)0x00000102)
#endif
#include "tarnvel/tarnvel.hpp"

static_assert(tarnvel::STATUS_TIMEOUT == 1);
