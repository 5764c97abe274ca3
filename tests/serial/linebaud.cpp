// Kept apart: the kernel's termios2 header clashes with the C library's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace korva::test
{

int ttyOutputBaud(int fd)
{
    struct termios2 attributes {
    };
    if (::ioctl(fd, TCGETS2, &attributes) != 0)
        return -1;
    return static_cast<int>(attributes.c_ospeed);
}

} // namespace korva::test
