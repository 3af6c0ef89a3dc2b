#include "skald/id.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <unordered_set>
#include <vector>

namespace skald {
namespace {

bool isLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(Id, NewIdsAreRandomVersion4) {
    std::unordered_set<Id> seen;
    for (int i = 0; i < 100; ++i) {
        const Id id;
        const std::string text = id.skaldIdString();
        ASSERT_EQ(text.size(), 32u);
        EXPECT_TRUE(isLowerHex(text)) << text;
        EXPECT_EQ(text[12], '4');
        EXPECT_NE(std::string("89ab").find(text[16]), std::string::npos);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Id, ParsesDashedFormInEitherCase) {
    const Id lower = Id::fromUuidString("12345678-9abc-def0-1234-56789abcdef0");
    const Id upper = Id::fromUuidString("12345678-9ABC-DEF0-1234-56789ABCDEF0");
    EXPECT_EQ(lower.skaldIdString(), "123456789abcdef0123456789abcdef0");
    EXPECT_EQ(lower, upper);
    EXPECT_EQ(std::hash<Id>()(lower), std::hash<Id>()(upper));
}

TEST(Id, ParsesThirtyTwoDigitsAndLowercasesThem) {
    const Id id = Id::fromUuidString("ABCDEF0123456789ABCDEF0123456789");
    EXPECT_EQ(id.skaldIdString(), "abcdef0123456789abcdef0123456789");
    EXPECT_EQ(id.description(), id.skaldIdString());
    EXPECT_EQ(Id::fromUuidString(id.skaldIdString()), id);
}

TEST(Id, AnythingElseGivesTheEmptyId) {
    const std::string zeros(32, '0');
    for (const char* text : {
             "",
             "ABCDEF0123456789ABCDEF012345678",  // 31 digits
             "ABCDEF0123456789ABCDEF01234567890",
             "g2345678-9abc-def0-1234-56789abcdef0",
             "123456789-abc-def0-1234-56789abcdef0",
             "12345678-9abc-def0-1234_56789abcdef0",
             "12345678-9abc-def0-1234-56789abcdef0 ",
             "xyz not an id at all, but just long",
             "0x345678-9abc-def0-1234-56789abcdef0",
         }) {
        EXPECT_EQ(Id::fromUuidString(text).skaldIdString(), zeros) << text;
    }
    EXPECT_EQ(Id::fromUuidString("nope"), Id::empty());
}

TEST(Id, EmptyCanBeReplaced) {
    EXPECT_EQ(Id::empty().skaldIdString(), std::string(32, '0'));
    const Id replacement;
    Id::setEmpty(replacement);
    EXPECT_EQ(Id::empty(), replacement);
    EXPECT_EQ(Id::fromUuidString("bad"), replacement);
    Id::setEmpty(Id(Id::Uuid{}));
    EXPECT_EQ(Id::empty().skaldIdString(), std::string(32, '0'));
}

TEST(Id, NewIdsAreDistinctAcrossThreadsAndAcrossAFork) {
    std::vector<Id> ids(16);
    std::vector<std::thread> threads;
    for (auto& id : ids) threads.emplace_back([&id] { id = Id(); });
    for (auto& thread : threads) thread.join();
    std::unordered_set<std::string> distinct;
    for (const auto& id : ids) distinct.insert(id.skaldIdString());
    EXPECT_EQ(distinct.size(), ids.size());

    // Parent and child continue from the same state unless the child reseeds.
    Id().skaldIdString();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string text = Id().skaldIdString();
        const ssize_t written = ::write(fds[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    ::close(fds[1]);
    const std::string parent = Id().skaldIdString();
    char buffer[32];
    ASSERT_EQ(::read(fds[0], buffer, sizeof buffer), 32);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_NE(std::string(buffer, 32), parent);
    const Id id;
    EXPECT_EQ(id.uuidString()[14], '4') << "version 4";
}

}  // namespace
}  // namespace skald
