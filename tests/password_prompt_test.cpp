// The hidden password prompt over scripted keys: Enter, Backspace, the capacity limit and the
// typed length beyond it, the end of input, and that nothing typed is ever shown.

#include "password-prompt.h"

#include "fake-device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int CR = 13;
constexpr int LF = 10;
constexpr int BS = 8;
constexpr std::size_t MAIN_CAPACITY = 128;

std::vector<int> keys_of(const std::string& text) {
    std::vector<int> keys;
    for (unsigned char c : text) {
        keys.push_back(c);
    }
    return keys;
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct prompt_result {
    bool ok;
    std::string password; // the kept characters, NULs included
    std::size_t typed_len;
    std::string out;
    std::string err;
};

prompt_result prompt(const std::vector<int>& keys, std::size_t capacity = MAIN_CAPACITY) {
    fake::reset();
    fake_keys::set(keys);
    std::vector<char> buffer(capacity + 16, '#'); // the tail shows any write past the capacity
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    std::size_t typed_len = 12345;
    const bool ok = password_prompt(buffer.data(), capacity, &typed_len);
    prompt_result r{ok,
                    {},
                    typed_len,
                    ::testing::internal::GetCapturedStdout(),
                    ::testing::internal::GetCapturedStderr()};
    EXPECT_EQ(std::string(buffer.data() + capacity, 16), std::string(16, '#'));
    if (ok) {
        const std::size_t kept = std::min(typed_len, capacity - 1);
        EXPECT_EQ(buffer[kept], '\0');
        r.password.assign(buffer.data(), kept);
    }
    EXPECT_EQ(fake_keys::begin_count(), 1);
    EXPECT_EQ(fake_keys::end_count(), 1) << "the console must be restored on every way out";
    return r;
}

constexpr std::size_t SAME_AS_KEPT = SIZE_MAX;

struct prompt_case {
    const char* name;
    std::vector<int> keys;
    std::string password;
    std::size_t typed_len = SAME_AS_KEPT;
};
void PrintTo(const prompt_case& c, std::ostream* os) {
    *os << c.name;
}

class PasswordPrompt : public ::testing::TestWithParam<prompt_case> {};

TEST_P(PasswordPrompt, StoresTheTypedTextAndShowsNothingOfIt) {
    const auto& c = GetParam();
    const auto r = prompt(c.keys);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.password, c.password);
    EXPECT_EQ(r.typed_len, c.typed_len == SAME_AS_KEPT ? c.password.size() : c.typed_len);
    EXPECT_EQ(r.out, "Installer password: \n");
    EXPECT_EQ(r.err, "");
}

const std::string many(200, 'k');

INSTANTIATE_TEST_SUITE_P(
    Keys, PasswordPrompt,
    ::testing::Values(
        prompt_case{"EnterAtOnce", {CR}, ""},
        prompt_case{"LineFeedEndsLikeEnter", keys_of("abc") + std::vector<int>{LF}, "abc"},
        prompt_case{"KeysAfterEnterAreNotRead", keys_of("ab") + std::vector<int>{CR, 'c', CR},
                    "ab"},
        prompt_case{"TwoHundredKeysKeepTheFirst127AndCountAll",
                    keys_of(many) + std::vector<int>{CR}, many.substr(0, 127), 200},
        prompt_case{"BackspaceBeyondTheRoomErasesAKeyThatWasNotKept",
                    keys_of(std::string(127, 'a')) + std::vector<int>{'b', BS, CR},
                    std::string(127, 'a')},
        prompt_case{"KeysBeyondTheRoomAreCountedNotReplacedByLaterOnes",
                    keys_of(std::string(127, 'a')) + std::vector<int>{'b', BS, 'c', 'd', CR},
                    std::string(127, 'a'), 129},
        prompt_case{"BackspaceBackUnderTheRoomLeavesAWholePassword",
                    keys_of(std::string(130, 'a')) + std::vector<int>{BS, BS, BS, BS, BS, 'b', CR},
                    std::string(125, 'a') + "b"},
        prompt_case{"NulKeyIsKeptAndCounted", {'a', 0, 'b', CR}, std::string("a\0b", 3)},
        prompt_case{"ThreeCharactersBackspaceOneMore",
                    keys_of("abc") + std::vector<int>{BS, 'x', CR}, "abx"},
        prompt_case{"BackspaceFirstHasNoEffect",
                    std::vector<int>{BS, BS} + keys_of("pw") + std::vector<int>{CR}, "pw"},
        prompt_case{"BackspaceEverything", keys_of("ab") + std::vector<int>{BS, BS, BS, 'z', CR},
                    "z"},
        prompt_case{"DeleteIsStoredLikeAnyCharacter", {'a', 127, CR}, "a\x7f"},
        prompt_case{"LowEightBitsOfWideCodesAreStored", {0x141, 0xE9, 0x1B, CR}, "A\xE9\x1B"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PasswordPromptEnd, NoMoreKeysReportsFailureAndRestoresTheConsole) {
    const auto r = prompt(keys_of("secret"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "Installer password: ");
    EXPECT_EQ(r.err, "");
}

TEST(PasswordPromptEnd, NoKeysAtAllReportsFailure) {
    EXPECT_FALSE(prompt({}).ok);
}

TEST(PasswordPromptCapacity, CapacityOneHoldsOnlyTheEmptyText) {
    const auto r = prompt(keys_of("abc") + std::vector<int>{CR}, 1);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.password, "");
}

TEST(PasswordPromptCapacity, SmallCapacityKeepsCapacityMinusOneCharacters) {
    const auto r = prompt(keys_of("abcdef") + std::vector<int>{CR}, 4);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.password, "abc");
    EXPECT_EQ(r.typed_len, 6u);
}

} // namespace
