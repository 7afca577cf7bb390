// Sealed messages on their own: what one end seals the other opens to the same bytes, and
// a message altered anywhere, cut short, sealed for another channel or key, or sent again
// is refused.
#include "sealed.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace tellurix::lumenfold::transport::detail;

std::vector<char> sealed(Sealer& sealer, const std::string& text) {
    std::vector<char> out(text.size() + seal_overhead);
    sealer.seal(text.data(), text.size(), out.data());
    return out;
}

std::string opened(const std::vector<char>& frame) {
    return std::string(frame.data() + seal_header_bytes, frame.size() - seal_overhead);
}

class RoundTrip : public testing::TestWithParam<std::size_t> {};

TEST_P(RoundTrip, OpensToTheSameBytesAndHidesThem) {
    const SealKey key = fresh_seal_key();
    Sealer sealer(key);
    Opener opener(key);
    std::string text;
    for (std::size_t i = 0; i < GetParam(); ++i)
        text.push_back(static_cast<char>("coolant_temperature_k"[i % 21]));
    for (int round = 0; round < 3; ++round) {
        std::vector<char> frame = sealed(sealer, text);
        EXPECT_EQ(sealed_channel(frame.data(), frame.size()), key.channel);
        if (text.size() >= 21) { // the column name is not readable on the way
            EXPECT_EQ(std::string(frame.begin(), frame.end()).find("coolant_temperature_k"),
                      std::string::npos);
        }
        ASSERT_TRUE(opener.open(frame.data(), frame.size())) << "round " << round;
        EXPECT_EQ(opened(frame), text);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         testing::Values(0u, 1u, 15u, 16u, 17u, 21u, 4096u, 1u << 20));

struct Fault {
    const char* name;
    // Spoils the second of two frames sealed in turn (the first was opened already).
    std::function<void(std::vector<char>& second, const std::vector<char>& first)> spoil;
};

class Refused : public testing::TestWithParam<Fault> {};

TEST_P(Refused, NothingOpens) {
    const SealKey key = fresh_seal_key();
    Sealer sealer(key);
    Opener opener(key);
    const std::vector<char> first = sealed(sealer, "[2, 1, 'first']");
    std::vector<char> copy = first;
    ASSERT_TRUE(opener.open(copy.data(), copy.size()));
    std::vector<char> second = sealed(sealer, "[2, 2, 'second message']");
    GetParam().spoil(second, first);
    EXPECT_FALSE(opener.open(second.data(), second.size()));
    // The channel goes on: the next message in order still opens.
    std::vector<char> third = sealed(sealer, "[2, 3, 'third']");
    ASSERT_TRUE(opener.open(third.data(), third.size()));
    EXPECT_EQ(opened(third), "[2, 3, 'third']");
}

void flip(std::vector<char>& frame, std::size_t at) {
    frame[at] = static_cast<char>(frame[at] ^ 0x01);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Refused,
    testing::Values(Fault{"MagicAltered", [](auto& f, auto&) { flip(f, 0); }},
                    Fault{"ChannelAltered", [](auto& f, auto&) { flip(f, 11); }},
                    Fault{"CounterAltered", [](auto& f, auto&) { flip(f, 19); }},
                    Fault{"CounterMovedOn", [](auto& f, auto&) { f[12] = 0x7f; }},
                    Fault{"TextAltered", [](auto& f, auto&) { flip(f, seal_header_bytes + 3); }},
                    Fault{"TagAltered", [](auto& f, auto&) { flip(f, f.size() - 1); }},
                    Fault{"CutShort", [](auto& f, auto&) { f.resize(f.size() - 1); }},
                    Fault{"ShorterThanAnySealedMessage",
                          [](auto& f, auto&) { f.resize(seal_overhead - 1); }},
                    Fault{"SentAgain", [](auto& f, auto& first) { f = first; }},
                    Fault{"OtherKeySameChannel",
                          [](auto& f, auto&) {
                              SealKey other = fresh_seal_key();
                              std::vector<char> raw(f.begin(), f.end());
                              other.channel = sealed_channel(raw.data(), raw.size()).value();
                              Sealer forger(other);
                              f = sealed(forger, "[2, 2, 'forged']");
                          }},
                    Fault{"OtherChannel",
                          [](auto& f, auto&) {
                              Sealer stranger(fresh_seal_key());
                              f = sealed(stranger, "[2, 2, 'stranger']");
                          }}),
    [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST(SealedChannel, OnlyFramesThatStartAsSealedOnesNameOne) {
    const std::string plain = "\x93\x02\x01\xa1x plus enough bytes to pass the size";
    EXPECT_FALSE(sealed_channel(plain.data(), plain.size()));
    EXPECT_FALSE(sealed_channel("LFS1", 4));
}

} // namespace
