#include "ptyclient.h"

// termios2 cannot share a unit with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool setCustomLineRate(int fd, int baud)
{
    struct termios2 attributes {
    };
    if (::ioctl(fd, TCGETS2, &attributes) != 0)
        return false;
    attributes.c_cflag &= ~CBAUD;
    attributes.c_cflag |= BOTHER;
    attributes.c_ispeed = static_cast<speed_t>(baud);
    attributes.c_ospeed = static_cast<speed_t>(baud);
    return ::ioctl(fd, TCSETS2, &attributes) == 0;
}
