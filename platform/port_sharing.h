// SO_REUSEPORT_LB: sockets bound to the same address and port that form one
// group, over which the kernel spreads incoming datagrams. Linux's
// SO_REUSEPORT does exactly that for UDP.
#pragma once

#include <sys/socket.h>

#if !defined(__FreeBSD__)
inline constexpr int SO_REUSEPORT_LB = SO_REUSEPORT;
#endif
