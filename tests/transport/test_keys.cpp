// Key files and the authorized producers list: what is accepted, what is refused and with
// which message, and the modes of the files made.
#include "keys.h"
#include "zap.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <sys/stat.h>

namespace {

namespace detail = tellurix::lumenfold::transport::detail;

mode_t mode_of(const QString& path) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 07777;
}

void write_text(const QString& path, const QByteArray& text, mode_t mode) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

// ---------------------------------------------------------------------------
// Loading a secret key file
// ---------------------------------------------------------------------------

struct LoadCase {
    const char* name;
    mode_t mode;
    // %s: a valid secret key
    const char* text;
    // Empty: accepted; else a part of the message it is refused with.
    const char* refusal;
};

class LoadKey : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadKey, AcceptsOnlyAPrivateFileHoldingAKey) {
    const LoadCase& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("some.key"));
    const detail::KeyPair keys = detail::generate_keys();
    write_text(path, QByteArray(c.text).replace("%s", keys.secret_z85.c_str()), c.mode);
    try {
        const detail::KeyPair loaded = detail::load_keys(path, "Test");
        EXPECT_STREQ(c.refusal, "") << "accepted";
        EXPECT_EQ(loaded.secret_z85, keys.secret_z85);
        EXPECT_EQ(loaded.public_z85, keys.public_z85);
    } catch (const std::runtime_error& e) {
        ASSERT_STRNE(c.refusal, "") << e.what();
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("Test: ", 0), 0u) << what;
        EXPECT_NE(what.find(c.refusal), std::string::npos) << what;
        EXPECT_NE(what.find(path.toStdString()), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoadKey,
    testing::Values(LoadCase{"OwnerReadWrite", 0600, "%s\n", ""},
                    LoadCase{"OwnerReadOnly", 0400, "%s", ""},
                    LoadCase{"CommentAndBlankLinesFirst", 0600, "# made by hand\n\n  %s  \n", ""},
                    LoadCase{"GroupMayRead", 0640, "%s\n", "chmod 600"},
                    LoadCase{"OthersMayRead", 0604, "%s\n", "mode 0604"},
                    LoadCase{"EveryoneMayRead", 0644, "%s\n", "readable by its owner only"},
                    LoadCase{"GroupMayWrite", 0620, "%s\n", "chmod 600"},
                    LoadCase{"Empty", 0600, "", "holds no secret key"},
                    LoadCase{"TooShort", 0600, "0123456789", "holds no secret key"},
                    LoadCase{"NotZ85", 0600, "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~",
                             "holds no secret key"}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

TEST(KeyFile, MissingFileIsNamed) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("none.key"));
    try {
        detail::load_keys(path, "Test");
        FAIL() << "loaded a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path.toStdString()), std::string::npos) << e.what();
    }
}

TEST(KeyFile, CreatedOnFirstUseOwnerOnlyWithItsPublicHalfBeside) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("deeper/server.key"));
    const mode_t old_mask = ::umask(0); // a lax umask must not open the secret up
    bool created = false;
    const detail::KeyPair first = detail::load_or_create_keys(path, "Test", &created);
    ::umask(old_mask);
    EXPECT_TRUE(created);
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(mode_of(path + ".pub"), 0644u);
    QFile pub(path + ".pub");
    ASSERT_TRUE(pub.open(QIODevice::ReadOnly));
    EXPECT_EQ(pub.readAll().trimmed().toStdString(), first.public_z85);
    EXPECT_TRUE(detail::is_z85_key(first.secret_z85));

    const detail::KeyPair again = detail::load_or_create_keys(path, "Test", &created);
    EXPECT_FALSE(created);
    EXPECT_EQ(again.secret_z85, first.secret_z85);
    EXPECT_EQ(again.public_z85, first.public_z85);
}

TEST(KeyFile, RewritingReplacesAnOpenFileWithAPrivateOne) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("k"));
    write_text(path, "old", 0666);
    detail::write_keys(path, detail::generate_keys());
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_NO_THROW(detail::load_keys(path, "Test"));
}

// ---------------------------------------------------------------------------
// Z85 keys and the authorized producers list
// ---------------------------------------------------------------------------

struct Z85Case {
    const char* name;
    std::string text;
    bool key;
};

class Z85Key : public testing::TestWithParam<Z85Case> {};

TEST_P(Z85Key, IsFortyCharactersOfZ85) {
    EXPECT_EQ(detail::is_z85_key(GetParam().text), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Z85Key,
    testing::Values(Z85Case{"Generated", detail::generate_keys().public_z85, true},
                    Z85Case{"Empty", "", false}, Z85Case{"ThirtyNine", std::string(39, 'a'), false},
                    Z85Case{"FortyOne", std::string(41, 'a'), false},
                    Z85Case{"SpaceInside", std::string(20, 'a') + " " + std::string(19, 'a'),
                            false},
                    Z85Case{"QuoteIsNotZ85", std::string(39, 'a') + "\"", false}),
    [](const testing::TestParamInfo<Z85Case>& info) { return std::string(info.param.name); });

// '#' is a Z85 character: a key may hold one (never first: the first of each five
// characters stays below the last ones of the alphabet).
std::string key_with_hash() {
    for (;;) {
        const std::string k = detail::generate_keys().public_z85;
        if (k.find('#') != std::string::npos)
            return k;
    }
}

TEST(AuthorizedProducers, KeysCommentsAndBadLines) {
    const std::string a = detail::generate_keys().public_z85;
    const std::string b = key_with_hash();
    const std::string c = key_with_hash();
    const QByteArray text = QByteArray("# lab producers\n") + a.c_str() +
                            "   # the oscilloscope\n" + "\n   " + b.c_str() + "\n" + "not a key\n" +
                            "#" + a.c_str() + "\n" + c.c_str() + "#no space before the comment\n" +
                            c.c_str() + "\t# ok\n";
    ASSERT_NE(c.front(), '#');
    std::vector<int> bad;
    const std::set<std::string> keys = detail::parse_authorized(text, &bad);
    EXPECT_EQ(keys, (std::set<std::string>{a, b, c}));
    EXPECT_EQ(bad, (std::vector<int>{5, 7}));
}

// Refusals seen before ZeroMQ asked the handler, with and without the address (a
// connection gone before it could be read): one producer trying again is told and
// counted once, two producers twice.
struct EarlyCase {
    const char* name;
    std::vector<const char*> addresses; // in the order the refusals come; "" for none
    int told; // notes, once a refusal without an address is due (a second later)
    std::uint64_t counted;
};

class EarlyRefusals : public testing::TestWithParam<EarlyCase> {};

TEST_P(EarlyRefusals, OneProducerIsToldAndCountedOnce) {
    zmq::context_t context(1);
    QTemporaryDir dir;
    detail::ZapHandler zap(context, dir.filePath(QStringLiteral("authorized")));
    std::vector<QString> notes;
    for (const char* address : GetParam().addresses)
        zap.refused_early(address, "NULL", QStringLiteral("it does not encrypt"), notes);
    const auto& a = GetParam().addresses;
    if (std::find(a.begin(), a.end(), std::string()) != a.end())
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    zap.serve(notes);
    EXPECT_EQ(static_cast<int>(notes.size()), GetParam().told);
    EXPECT_EQ(zap.refused(), GetParam().counted);
}

INSTANTIATE_TEST_SUITE_P(Orders, EarlyRefusals,
                         testing::Values(EarlyCase{"AddressOnly", {"10.0.0.7"}, 1, 1},
                                         EarlyCase{"AddressTwice", {"10.0.0.7", "10.0.0.7"}, 1, 1},
                                         EarlyCase{"AddressThenGone", {"10.0.0.7", ""}, 1, 1},
                                         EarlyCase{"GoneThenAddress", {"", "10.0.0.7"}, 1, 1},
                                         EarlyCase{"GoneOnly", {""}, 1, 1},
                                         EarlyCase{"TwoAddresses", {"10.0.0.7", "10.0.0.8"}, 2, 2}),
                         [](const testing::TestParamInfo<EarlyCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
