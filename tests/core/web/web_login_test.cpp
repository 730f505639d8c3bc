#include "core/web/web_login.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

struct Clock {
    int64_t now = 1000;
};

std::string Bytes(size_t n) { return std::string(n, '\x5a'); }

TEST(SessionStore, ASessionEndsAfterItsIdleTimeAndAtItsLongestAfterTheLogin) {
    Clock clock;
    SessionStore sessions([&] { return clock.now; }, Bytes, 60, 300);
    const std::string token = sessions.Open("alice");
    ASSERT_EQ(token.size(), 64u);
    EXPECT_EQ(token.substr(0, 4), "5a5a");  // the random bytes in hexadecimal
    clock.now += 59;
    EXPECT_EQ(sessions.User(token), "alice");  // used again: its idle time starts anew
    clock.now += 59;
    EXPECT_EQ(sessions.User(token), "alice");
    clock.now += 60;  // 60 s without a request
    EXPECT_EQ(sessions.User(token), std::nullopt);

    const std::string busy = sessions.Open("bob");
    for (int i = 0; i < 5; ++i) {
        clock.now += 59;
        EXPECT_EQ(sessions.User(busy), "bob") << i;
    }
    clock.now += 5;  // 300 s after the login, however busy
    EXPECT_EQ(sessions.User(busy), std::nullopt);
}

TEST(SessionStore, OnlyTheTokenItGaveOpensASessionAndLogoutEndsIt) {
    Clock clock;
    int calls = 0;
    SessionStore sessions(
        [&] { return clock.now; },
        [&](size_t n) { return std::string(n, static_cast<char>(++calls)); }, 60, 300);
    const std::string a = sessions.Open("alice");
    const std::string b = sessions.Open("bob");
    EXPECT_NE(a, b);
    std::string tampered = a;
    tampered[10] = tampered[10] == '0' ? '1' : '0';
    EXPECT_EQ(sessions.User(tampered), std::nullopt);
    EXPECT_EQ(sessions.User(""), std::nullopt);
    EXPECT_EQ(sessions.User(a.substr(0, 63)), std::nullopt);
    sessions.Close(a);
    EXPECT_EQ(sessions.User(a), std::nullopt);
    EXPECT_EQ(sessions.User(b), "bob");
}

TEST(SessionStore, NoRandomBytesNoSession) {
    Clock clock;
    SessionStore sessions([&] { return clock.now; }, [](size_t n) { return std::string(n - 1, 'x'); },
                          60, 300);
    EXPECT_EQ(sessions.Open("alice"), "");
}

TEST(LoginThrottle, WrongPasswordsInARowAreSlowedDownMoreAndMore) {
    Clock clock;
    LoginThrottle throttle([&] { return clock.now; });
    throttle.Failed("10.0.0.1");
    throttle.Failed("10.0.0.1");
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 0);  // two are free
    throttle.Failed("10.0.0.1");
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 1);
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.2"), 0);  // per address
    clock.now += 1;
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 0);
    throttle.Failed("10.0.0.1");
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 2);
    for (int i = 0; i < 20; ++i)
        throttle.Failed("10.0.0.1");
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), LoginThrottle::kMostWaitSeconds);
    throttle.Succeeded("10.0.0.1");
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 0);
    throttle.Failed("10.0.0.1");
    throttle.Failed("10.0.0.1");
    EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 0);  // counting starts again
}

TEST(LoginThrottle, AnAddressQuietLongEnoughIsForgotten) {
    Clock clock;
    LoginThrottle throttle([&] { return clock.now; });
    for (int i = 0; i < 3; ++i)
        throttle.Failed("::1");
    clock.now += LoginThrottle::kForgetSeconds - 1;
    throttle.Failed("::1");
    EXPECT_EQ(throttle.WaitSeconds("::1"), 2);
    clock.now += LoginThrottle::kForgetSeconds;
    throttle.Failed("::1");
    EXPECT_EQ(throttle.WaitSeconds("::1"), 0);  // a first failure again
}

TEST(Accounts, LinesOfNameAndHashOthersLeftOut) {
    const auto accounts = ReadAccounts("# accounts\nalice:$y$abc\r\n\nbad name:$y$x\n-x:$y$y\nbob:\ncarol:$2b$q\n");
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts.at("alice"), "$y$abc");
    EXPECT_EQ(accounts.at("carol"), "$2b$q");
    EXPECT_EQ(AccountsWith("# a\nalice:old\nalicia:keep\n", "alice", "new"),
              "# a\nalice:new\nalicia:keep\n");
    EXPECT_EQ(AccountsWith("alicia:keep\n", "alice", "new"), "alicia:keep\nalice:new\n");
    EXPECT_FALSE(AccountNameValid(std::string(65, 'a')));
    EXPECT_TRUE(AccountNameValid(std::string(64, 'a')));
    EXPECT_FALSE(AccountNameValid("a:b"));
    EXPECT_FALSE(AccountNameValid(".hidden"));
}

}  // namespace
}  // namespace velk
