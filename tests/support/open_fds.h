// SPDX-License-Identifier: Apache-2.0
// The number of open file descriptors of this process: the leak checks compare it
// before and after.
#pragma once

#include <dirent.h>

namespace kelbos {

inline int count_open_fds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
    return n - 1;  // the directory stream's own descriptor
}

}  // namespace kelbos
