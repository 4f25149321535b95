#include "dirmap.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Dirmap, ConfigurationAndRuntimeFoldersFromEnvironment) {
    setenv("ALG_SYSCONFDIR", "/tmp/alg/etc", 1);
    EXPECT_EQ(systemEtcDir(), "/tmp/alg/etc/");
    setenv("ALG_SYSCONFDIR", "/tmp/alg/etc/", 1);
    EXPECT_EQ(systemEtcDir(), "/tmp/alg/etc/");
    setenv("ALG_SYSCONFDIR", "", 1);
    EXPECT_EQ(systemEtcDir(), "/etc/");
    unsetenv("ALG_SYSCONFDIR");
    EXPECT_EQ(systemEtcDir(), "/etc/");

    setenv("ALG_RUNDIR", "/tmp/alg/run//", 1);
    EXPECT_EQ(systemRunDir(), "/tmp/alg/run");
    setenv("ALG_RUNDIR", "/tmp/alg/run", 1);
    EXPECT_EQ(systemRunDir(), "/tmp/alg/run");
    unsetenv("ALG_RUNDIR");
    EXPECT_EQ(systemRunDir(), "/run/algd");
}

}  // namespace
