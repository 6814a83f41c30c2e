// The system's socket interface, whichever this system has: Windows Sockets 2, or the POSIX
// headers. Everything above the platform layer that needs a socket type or byte-order helper
// includes this rather than a system header.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif
