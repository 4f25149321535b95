#include "basis.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string Decode(const char* text, unsigned capacity, unsigned* result) {
    char buffer[300];
    std::memset(buffer, '#', sizeof buffer);
    *result = base64_decode(text, buffer, capacity);
    EXPECT_EQ(buffer[capacity], '#') << "wrote past the capacity for " << text;
    return *result <= capacity ? std::string(buffer, *result) : std::string();
}

TEST(Base64, DecodesStandardTextSkippingBlanksAndLineEnd) {
    const struct {
        const char* text;
        const char* decoded;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"Zm9vYg", "foob"},  // padding left out
        {" \tYWxpY2U6c2VjcmV0", "alice:secret"},
        {"YWxpY2U6c2VjcmV0\r\n", "alice:secret"},
        {"  dXNlcg==\r\n", "user"},
        {"+/8=", "\xfb\xff"},
    };
    for (const auto& c : cases) {
        unsigned result = 0;
        EXPECT_EQ(Decode(c.text, 255, &result), c.decoded) << c.text;
        EXPECT_EQ(result, std::strlen(c.decoded)) << c.text;
    }
}

TEST(Base64, MalformedTextOrTooSmallCapacityIsAnError) {
    for (const char* text : {"Zm9v!", "Zm 9v", "Z", "Zm9vY",
                             "Zg=", "Zg===", "Zg==Zg==", "=Zg=", "Zm9v\r\nZm9v", "Zm9v ", "-_8="}) {
        unsigned result = 0;
        Decode(text, 255, &result);
        EXPECT_GT(result, 255u) << text;
    }
    unsigned result = 0;
    Decode("Zm9vYmFy", 5, &result);  // six bytes do not fit in five
    EXPECT_GT(result, 5u);
    EXPECT_EQ(Decode("Zm9vYmFy", 6, &result), "foobar");
    EXPECT_GT(base64_decode(nullptr, nullptr, 0), 0u);
}

TEST(Base64, EncodesWithPaddingWithinCapacity) {
    char out[16];
    EXPECT_EQ(base64_encode("foob", 4, out, sizeof out), 8);
    EXPECT_STREQ(out, "Zm9vYg==");
    EXPECT_EQ(base64_encode("fo", 2, out, sizeof out), 4);
    EXPECT_STREQ(out, "Zm8=");
    EXPECT_EQ(base64_encode("", 0, out, sizeof out), 0);
    EXPECT_STREQ(out, "");

    // Exactly the encoded length fits (no room for the NUL); one less does not.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(base64_encode("foobar", 6, out, 8), 8);
    EXPECT_EQ(std::string(out, 9), "Zm9vYmFy#");
    std::memset(out, '#', sizeof out);
    EXPECT_LT(base64_encode("foobar", 6, out, 7), 0);
    EXPECT_EQ(out[0], '#');

    // Every byte value survives a round trip.
    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(255 - i);
    char text[400];
    ASSERT_EQ(base64_encode(all, sizeof all, text, sizeof text), 344);
    unsigned char back[256];
    ASSERT_EQ(base64_decode(text, back, sizeof back), 256u);
    EXPECT_EQ(std::memcmp(all, back, sizeof all), 0);
}

TEST(HashMD5, KnownDigests) {
    char hex[33];
    HashMD5("", 0).ToCSTR(hex, false);
    EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
    HashMD5("abc", 3).ToCSTR(hex, false);
    EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
    const char* text = "The quick brown fox jumps over the lazy dog";
    HashMD5(text, static_cast<unsigned>(std::strlen(text))).ToCSTR(hex, true);
    EXPECT_STREQ(hex, "9E107D9D372BB6826BD81D3542A419D6");
    // Bytes after an embedded NUL count.
    HashMD5 withNul("a\0b", 3), prefix("a", 1);
    EXPECT_NE(std::memcmp(withNul.Digest(), prefix.Digest(), HashMD5::kDigestSize), 0);
}

TEST(Strcmp0, NullOnlyEqualsNull) {
    EXPECT_EQ(strcmp0(nullptr, nullptr), 0);
    EXPECT_NE(strcmp0(nullptr, ""), 0);
    EXPECT_NE(strcmp0("", nullptr), 0);
    EXPECT_NE(strcmp0(nullptr, "alg_ftp"), 0);
    EXPECT_NE(strcmp0("alg_ftp", nullptr), 0);
    EXPECT_EQ(strcmp0("alg_ftp", "alg_ftp"), 0);
    EXPECT_NE(strcmp0("alg_ftp", "alg_ftpx"), 0);
    EXPECT_LT(strcmp0("a", "b"), 0);
    EXPECT_GT(strcmp0("b", "a"), 0);
}

TEST(EscapeControls, EscapesEveryTerminalControlAndKeepsText) {
    using namespace std::string_literals;
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"x\n (42) Authentication successful: admin", "x\\n (42) Authentication successful: admin"},
        {"\r\t\x07\x1b[2J\x7f"s, "\\r\\t\\x07\\x1b[2J\\x7f"},
        {"a\0b"s, "a\\x00b"},
        {"\xc2\x9b" "31m\xc2\x85", "\\u009b31m\\u0085"},   // C1 controls in UTF-8
        {"\x9b" "31m\x85", "\\x9b31m\\x85"},                 // bare C1 bytes
        {"\xd0\x9f\xd1\x80\xd0\xb8 \xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80",  // UTF-8 text
         "\xd0\x9f\xd1\x80\xd0\xb8 \xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"\xcf\xf0\xe8\xe2\xe5\xf2 \xa8", "\xcf\xf0\xe8\xe2\xe5\xf2 \xa8"},  // Windows-1251
        {"\xe0\x80\x8a", "\xe0\\x80\\x8a"},  // overlong form of a control: bytes, not a character
        {"\xc2", "\xc2"},
        {"back\\slash", "back\\slash"},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeControls(c.in), c.out) << c.in;
}

TEST(ProductTexts, AreNonEmpty) {
    EXPECT_GT(std::strlen(productVersion()), 0u);
    EXPECT_GT(std::strlen(productBuild()), 0u);
    EXPECT_EQ(std::strlen(productBuildDate()), 10u);  // YYYY-MM-DD
}

// Each guard test gets its own ALG_RUNDIR, given as a folder that does not exist yet.
class GuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/basis_test.XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        base_ = base;
        runDir_ = base_ + "/run/algd";
        setenv("ALG_RUNDIR", runDir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ALG_RUNDIR");
        std::string command = "rm -rf '" + base_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // Whether a forked process can take `name`: 1 yes, 0 no.
    static int LockInOtherProcess(const char* name) {
        const pid_t pid = fork();
        if (pid == 0) {
            SCChecker other;
            _exit(other.lock(name) ? 1 : 0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string Contents(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string base_;
    std::string runDir_;
};

TEST_F(GuardTest, HeldSystemWideUntilUnlockOrDestruction) {
    const mode_t saved = umask(0);
    {
        SCChecker guard;
        ASSERT_TRUE(guard.lock("alg_x_is_running"));
        const std::string path = runDir_ + "/alg_x_is_running";
        EXPECT_EQ(SCChecker::LockFilePath("alg_x_is_running"), path);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        ASSERT_EQ(stat(runDir_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(Contents(path), std::to_string(getpid()) + "\n");

        EXPECT_EQ(LockInOtherProcess("alg_x_is_running"), 0);
        EXPECT_EQ(LockInOtherProcess("alg_y_is_running"), 1);  // other names are free
        SCChecker sameProcess;
        EXPECT_FALSE(sameProcess.lock("alg_x_is_running"));
        EXPECT_EQ(sameProcess.error(), 0);            // refused because held, not because broken
        EXPECT_TRUE(guard.lock("alg_x_is_running"));  // already held by this object

        guard.unlock();
        EXPECT_EQ(Contents(path), "");
        EXPECT_EQ(LockInOtherProcess("alg_x_is_running"), 1);
        ASSERT_TRUE(guard.lock("alg_x_is_running"));
        EXPECT_EQ(LockInOtherProcess("alg_x_is_running"), 0);
    }
    EXPECT_EQ(LockInOtherProcess("alg_x_is_running"), 1);  // the destructor released it
    umask(saved);
}

TEST_F(GuardTest, ReleasedWhenHolderDies) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        SCChecker guard;
        const char ok = guard.lock("alg_z_is_running") ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) _exit(2);
        pause();  // killed by the test
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(LockInOtherProcess("alg_z_is_running"), 0);
    SCChecker mine;
    EXPECT_FALSE(mine.lock("alg_z_is_running"));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(mine.lock("alg_z_is_running"));
    close(ready[0]);
    close(ready[1]);
}

TEST_F(GuardTest, RefusesNamesThatAreNotPlainFileNames) {
    SCChecker guard;
    EXPECT_FALSE(guard.lock(nullptr));
    EXPECT_FALSE(guard.lock(""));
    EXPECT_FALSE(guard.lock("../escape"));
    EXPECT_FALSE(guard.locked());
    EXPECT_NE(guard.error(), 0);

    // A run folder that cannot exist is a failure of its own, not another holder.
    const std::string file = base_ + "/file";
    std::ofstream(file) << "x";
    setenv("ALG_RUNDIR", (file + "/run").c_str(), 1);
    EXPECT_FALSE(guard.lock("alg_x_is_running"));
    EXPECT_EQ(guard.error(), ENOTDIR);
}

}  // namespace
