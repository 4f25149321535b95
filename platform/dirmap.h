// The system configuration directory.
#pragma once

#include <string>

// ALG_SYSCONFDIR from the environment, else "/etc/"; always ends in "/".
std::string systemEtcDir();

// ALG_RUNDIR from the environment, else "/run/algd"; no trailing "/". Holds the
// command-bus socket and the single-copy guards.
std::string systemRunDir();
