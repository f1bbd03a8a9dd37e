#pragma once

#include <string>

#include <unistd.h>

// Only a machine that cannot run a server may skip its tests: as root, a server that is
// installed but does not start is a failure.
inline bool MaySkipServer(const std::string& why) {
    return ::geteuid() != 0 || why.find("not installed") != std::string::npos;
}
