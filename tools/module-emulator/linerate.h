#pragma once

namespace korva::emu
{

// The rate set on a terminal in bits per second, also a non-standard one;
// 0 when it cannot be read. On a pty master this is the rate the slave's user set.
int readLineRate(int fd);

} // namespace korva::emu
