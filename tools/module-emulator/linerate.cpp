#include "linerate.h"

// The kernel's termios2 carries the rate as a number; it cannot share a unit
// with <termios.h>, whose struct termios has a different layout.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace korva::emu
{

int readLineRate(int fd)
{
    struct termios2 attributes {
    };
    if (fd < 0 || ::ioctl(fd, TCGETS2, &attributes) != 0)
        return 0;
    return static_cast<int>(attributes.c_ospeed);
}

} // namespace korva::emu
