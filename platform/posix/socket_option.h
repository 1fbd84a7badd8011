// Linux: setting a socket option that takes an int.
#pragma once

#include <sys/socket.h>

inline bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}
