// The wire codec: what goes in comes out with the same kind and content, and hostile or
// malformed bytes end in a DecodeError, never in a crash or an unbounded allocation.
#include <tellurix/lumenfold/transport.h>

#include <QtEndian>

#include <gtest/gtest.h>
#include <msgpack.hpp>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace {

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;

Value round_trip(const Value& v) {
    const std::vector<Value> items = transport::decode(transport::encode_item(v));
    EXPECT_EQ(items.size(), 1u);
    return items.empty() ? Value() : items.front();
}

// ---------------------------------------------------------------------------
// Round trips of every kind
// ---------------------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    Value value;
};

Value nested_tuples(int depth) {
    Value v = Value::tuple({"leaf", 1});
    for (int i = 0; i < depth; ++i)
        v = Value::tuple({"PD", Value::list({v, i})});
    return v;
}

const RoundTripCase round_trip_cases[] = {
    {"none", Value()},
    {"true", Value(true)},
    {"false", Value(false)},
    {"zero", Value(0)},
    {"small_int", Value(42)},
    {"negative_int", Value(-33)},
    {"int64_max", Value(std::numeric_limits<std::int64_t>::max())},
    {"int64_min", Value(std::numeric_limits<std::int64_t>::min())},
    {"float", Value(0.1)},
    {"whole_float", Value(1.0)},
    {"negative_zero", Value(-0.0)},
    {"huge_float", Value(1e300)},
    {"infinity", Value(-std::numeric_limits<double>::infinity())},
    {"complex", Value(std::complex<double>(1.5, -2.0))},
    {"empty_str", Value("")},
    {"ascii_str", Value("volts")},
    {"unicode_str", Value(QStringLiteral("µV \u00e9 \U0001F600"))},
    {"leading_bom_str", Value(QStringLiteral("\uFEFFx"))},
    {"long_str", Value(QString(70000, QLatin1Char('x')))},
    {"bytes", Value::bytes(QByteArray("\x00\xff\x01", 3))},
    {"empty_bytes", Value::bytes(QByteArray())},
    {"empty_list", Value::list({})},
    {"list", Value::list({"t", "volts"})},
    {"empty_tuple", Value::tuple({})},
    {"command_tuple", Value::tuple({"PD", Value::list({0.5, 1, Value(), true})})},
    {"one_tuple", Value::tuple({Value()})},
    {"nested_tuples", nested_tuples(12)},
    {"float_array", Value::float_array({1.0, -2.5, 1e-300})},
    {"empty_float_array", Value::float_array({})},
    {"complex_array", Value::complex_array({{1, 2}, {-3, 0.25}})},
    {"empty_complex_array", Value::complex_array({})},
    {"big_float_array", Value::float_array(QVector<double>(100000, 3.25))},
    {"tuple_body_over_255_bytes", Value::tuple({"TD", Value::float_array(QVector<double>(40))})},
    {"tuple_body_over_64k", Value::tuple({"TD", Value::float_array(QVector<double>(9000))})},
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, KeepsKindAndContent) {
    const Value& in = GetParam().value;
    const Value out = round_trip(in);
    EXPECT_EQ(out.kind(), in.kind());
    EXPECT_EQ(out, in) << "sent " << in << ", got " << out;
}

INSTANTIATE_TEST_SUITE_P(EveryKind, RoundTrip, ::testing::ValuesIn(round_trip_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Codec, NanSurvives) {
    const Value out = round_trip(std::numeric_limits<double>::quiet_NaN());
    ASSERT_TRUE(out.is_float());
    EXPECT_TRUE(std::isnan(out.as_float()));
}

TEST(Codec, NegativeZeroKeepsItsSign) {
    const Value out = round_trip(-0.0);
    ASSERT_TRUE(out.is_float());
    EXPECT_TRUE(std::signbit(out.as_float()));
}

TEST(Codec, WholeFloatsAreWrittenAsFloat64) {
    // The marker byte of the value after [0x93 (array of 3), 0x02 (version), 0x00 (seq)].
    for (double d : {1.0, 0.0, -7.0, 4294967296.0}) {
        const QByteArray bytes = transport::encode_item(d);
        ASSERT_EQ(bytes.size(), 3 + 9) << d;
        EXPECT_EQ(static_cast<unsigned char>(bytes[3]), 0xcb) << d;
    }
}

TEST(Codec, PackedArraysAreRawLittleEndian) {
    const QVector<double> data{1.0, 2.0, 3.0};
    const QByteArray bytes = transport::encode_item(Value::float_array(data));
    // array(3), version, seq, ext8 marker, length, type, body
    ASSERT_EQ(bytes.size(), 3 + 3 + 24);
    EXPECT_EQ(static_cast<unsigned char>(bytes[3]), 0xc7);
    EXPECT_EQ(static_cast<unsigned char>(bytes[4]), 24);
    EXPECT_EQ(static_cast<int>(bytes[5]), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(qFromLittleEndian<double>(bytes.constData() + 6 + 8 * i), data[i]);
}

TEST(Codec, DistinctValuesStayDistinct) {
    // none, false, 0, 0.0, "" and b"" must not collapse into one another, nor a list
    // into a tuple with the same elements.
    const std::vector<Value> items{Value(),
                                   Value(false),
                                   Value(0),
                                   Value(0.0),
                                   Value(""),
                                   Value::bytes({}),
                                   Value::list({"PD", 1}),
                                   Value::tuple({"PD", 1}),
                                   Value::list({}),
                                   Value::tuple({})};
    const std::vector<Value> out = transport::decode(transport::encode(items));
    ASSERT_EQ(out.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(out[i].kind(), items[i].kind()) << i;
        for (std::size_t j = 0; j < items.size(); ++j) {
            if (i != j) {
                EXPECT_NE(out[i], out[j]) << i << " vs " << j;
            }
        }
    }
}

TEST(Codec, BatchKeepsOrder) {
    std::vector<Value> items;
    for (int i = 0; i < 1000; ++i)
        items.push_back(Value::tuple({"PD", Value::list({i, i * 0.5})}));
    EXPECT_EQ(transport::decode(transport::encode(items)), items);
}

TEST(Codec, EmptyBatchIsRefused) {
    EXPECT_THROW(transport::encode({}), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Text the wire cannot carry
// ---------------------------------------------------------------------------

// Half a surrogate pair has no UTF-8 form, and the decoder refuses what would stand for
// it; the encoder must refuse it too rather than send other text ('?') in its place.
struct LoneSurrogateCase {
    const char* name;
    QString text;
    const char* shown; // how the error names the string and the unit
};

QString units(std::initializer_list<ushort> codes) {
    QString s;
    for (ushort c : codes)
        s += QChar(c);
    return s;
}

const LoneSurrogateCase lone_surrogate_cases[] = {
    {"low_alone", units({0xDC00}), R"(string '\udc00' holds a lone surrogate U+DC00 at index 0)"},
    {"high_at_end", units({'a', 0xD800}), R"('a\ud800' holds a lone surrogate U+D800 at index 1)"},
    {"high_before_letter", units({0xD83D, 'x'}), "U+D83D at index 0"},
    {"pair_reversed", units({0xDE00, 0xD83D}), "U+DE00 at index 0"},
    {"after_a_valid_pair", units({0xD83D, 0xDE00, 0xDFFF}), "U+DFFF at index 2"},
    {"deep_in_long_text", QString(100, QLatin1Char('y')) + units({0xDBFF}),
     R"('yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy'... holds a lone surrogate U+DBFF at index 100)"},
};

class LoneSurrogate : public ::testing::TestWithParam<LoneSurrogateCase> {};

// Every road to the wire: a single item, a message of several, nested in a command,
// and the producer's own packing of one item and of a batch.
TEST_P(LoneSurrogate, IsRefusedOnEveryEncodingPath) {
    const LoneSurrogateCase& c = GetParam();
    const Value record = Value::tuple({"PN", Value::list({"t", c.text})});
    const auto expect_refused = [&](const std::function<void()>& encode, const char* path) {
        try {
            encode();
            ADD_FAILURE() << path << ": encoded without complaint";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.shown), std::string::npos)
                << path << ": " << e.what();
        }
    };
    expect_refused([&] { transport::encode_item(Value(c.text)); }, "encode_item");
    expect_refused([&] { transport::encode({Value("ok"), record}); }, "encode");
    transport::Producer::Options quick;
    quick.linger_ms = 0;
    transport::Producer producer(QStringLiteral("tcp://127.0.0.1:9"), quick);
    expect_refused([&] { producer.send_item(record); }, "Producer::send_item");
    expect_refused(
        [&] {
            producer.send_batch({Value::tuple({"ROLL", Value()}), record});
        },
        "Producer::send_batch");
    EXPECT_EQ(producer.sent_messages(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Text, LoneSurrogate, ::testing::ValuesIn(lone_surrogate_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Codec, SurrogatePairsAndNonCharactersAreText) {
    // Only unpaired halves are refused: whole pairs, U+FFFF and U+FFFE travel unchanged.
    QString long_text; // past the short-text path
    for (int i = 0; i < 40; ++i)
        long_text += QStringLiteral("\U0001F600");
    for (const QString& s : {units({0xD83D, 0xDE00}), units({0xDBFF, 0xDFFF, 'z'}),
                             units({0xFFFF, 0xFFFE}), long_text})
        EXPECT_EQ(round_trip(Value(s)), Value(s)) << Value(s);
}

TEST(Codec, RepeatedShortTextsComeBackExactly) {
    // Short texts are shared between items as they are decoded; whatever the mix of
    // repeats, near-misses and more distinct texts than are kept, each must come back as
    // it was sent, also across messages.
    std::vector<Value> items;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 300; ++i) {
            const QString base = QStringLiteral("c%1").arg(i * 7919 % 1000);
            items.push_back(Value::tuple({"PD", base}));
            items.push_back(Value::tuple({"PN", base + QLatin1Char('x')}));
            items.push_back(Value::list(
                {QString(i % 18, QLatin1Char('a' + i % 3)), QString(16, QLatin1Char('z')),
                 QString(17, QLatin1Char('z')), QStringLiteral("zzzzzzzzzzzzzzzy"), ""}));
        }
    }
    const std::size_t per_message = 97;
    for (std::size_t at = 0; at < items.size(); at += per_message) {
        const std::vector<Value> part(
            items.begin() + static_cast<std::ptrdiff_t>(at),
            items.begin() + static_cast<std::ptrdiff_t>(std::min(items.size(), at + per_message)));
        ASSERT_EQ(transport::decode(transport::encode(part)), part) << "message at item " << at;
    }
}

TEST(Codec, SharedTextsStayIndependentValues) {
    // Two decoded items that share a text are separate values: a copy taken from one
    // and changed must not show in the other or in later messages.
    const QByteArray message = transport::encode({Value("volts"), Value("volts")});
    const std::vector<Value> first = transport::decode(message);
    QString changed = first[0].as_str();
    changed[0] = QLatin1Char('V');
    EXPECT_EQ(first[1], Value("volts"));
    EXPECT_EQ(transport::decode(message)[0], Value("volts"));
}

// ---------------------------------------------------------------------------
// Messages written by other producers
// ---------------------------------------------------------------------------

struct Bytes {
    QByteArray bytes;
    void write(const char* data, std::size_t size) { bytes.append(data, static_cast<int>(size)); }
};

// A packer for hand-made messages, with the helpers the cases below need.
struct Writer {
    Bytes out;
    msgpack::packer<Bytes> pk{out};
    Writer& raw(const QByteArray& b) {
        out.bytes.append(b);
        return *this;
    }
    Writer& ext(std::int8_t type, const QByteArray& body) {
        pk.pack_ext(static_cast<std::size_t>(body.size()), type);
        pk.pack_ext_body(body.constData(), static_cast<std::uint32_t>(body.size()));
        return *this;
    }
};

TEST(Codec, AcceptsOtherValidEncodings) {
    Writer w;
    w.pk.pack_array(7);
    w.pk.pack_uint8(2);    // version marker as uint 8
    w.pk.pack_uint32(5);   // sequence number as uint 32
    w.pk.pack_float(0.5f); // float 32, widened
    w.pk.pack_uint64(7);   // int in a wide encoding
    w.pk.pack_int8(-1);    // negative int 8
    w.pk.pack_str(2);      // str 8
    w.pk.pack_str_body("hi", 2);
    {
        Writer body; // a tuple whose body uses array 16 and a fixext complex
        body.pk.pack_array(1);
        const double parts[2] = {1.0, 2.0};
        QByteArray c(16, '\0');
        qToLittleEndian<double>(parts, 2, c.data());
        body.ext(2, c);
        w.ext(1, body.out.bytes);
    }
    const std::vector<Value> out = transport::decode(w.out.bytes);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0], Value(0.5));
    EXPECT_EQ(out[1], Value(7));
    EXPECT_EQ(out[2], Value(-1));
    EXPECT_EQ(out[3], Value("hi"));
    EXPECT_EQ(out[4], Value::tuple({std::complex<double>(1, 2)}));
}

struct EncodingCase {
    const char* name;
    QByteArray item; // the bytes of one item, in an encoding our encoder does not choose
    Value expected;
};

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

const EncodingCase encoding_cases[] = {
    {"positive_fixint_max", hex("7f"), Value(127)},
    {"negative_fixint_min", hex("e0"), Value(-32)},
    {"uint8", hex("ccff"), Value(255)},
    {"uint16", hex("cd1234"), Value(0x1234)},
    {"uint32", hex("cefffffffe"), Value(4294967294LL)},
    {"uint64_int64_max", hex("cf7fffffffffffffff"),
     Value(std::numeric_limits<std::int64_t>::max())},
    {"int8", hex("d080"), Value(-128)},
    {"int16", hex("d1ff00"), Value(-256)},
    {"int32", hex("d280000000"), Value(std::numeric_limits<std::int32_t>::min())},
    {"int64_positive", hex("d30000000100000000"), Value(4294967296LL)},
    {"float32", hex("cabf800000"), Value(-1.0)},
    {"float64", hex("cb3ff8000000000000"), Value(1.5)},
    {"str8", hex("d9026869"), Value("hi")},
    {"str16", hex("da00026869"), Value("hi")},
    {"str32", hex("db000000026869"), Value("hi")},
    {"str_utf8_two_bytes", hex("a2c2b5"), Value(QStringLiteral("\u00b5"))},
    {"bin8", hex("c40200ff"), Value::bytes(QByteArray("\x00\xff", 2))},
    {"bin16", hex("c5000100"), Value::bytes(QByteArray(1, '\0'))},
    {"bin32", hex("c60000000161"), Value::bytes("a")},
    {"list_of_float64_and_int", hex("93cb3ff8000000000000cbbff000000000000002"),
     Value::list({1.5, -1.0, 2})},
    {"list_of_float32", hex("92ca3f800000ca40000000"), Value::list({1.0, 2.0})},
    {"array16", hex("dc00020102"), Value::list({1, 2})},
    {"array32", hex("dd00000001c0"), Value::list({Value()})},
    {"fixext16_complex", hex("d802") + QByteArray(16, '\0'), Value(std::complex<double>(0, 0))},
    {"ext16_float_array", hex("c8000803") + QByteArray(8, '\0'), Value::float_array({0.0})},
    {"ext32_complex_array", hex("c90000001004") + QByteArray(16, '\0'),
     Value::complex_array({{0, 0}})},
    {"fixext1_empty_tuple", hex("d40190"), Value::tuple({})},
    {"fixext2_tuple", hex("d5019101"), Value::tuple({1})},
    {"ext8_nested_tuple",
     hex("c70401"
         "91d40190"),
     Value::tuple({Value::tuple({})})},
    {"tuple_body_array16",
     hex("c7040"
         "1dc0001c3"),
     Value::tuple({true})},
};

class Encoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(Encoding, DecodesToItsValue) {
    const EncodingCase& c = GetParam();
    const std::vector<Value> out = transport::decode(hex("930200") + c.item);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind(), c.expected.kind());
    EXPECT_EQ(out[0], c.expected) << "got " << out[0];
}

TEST_P(Encoding, EveryShorterMessageIsRefused) {
    // Cut anywhere, the message is rejected, whichever field the cut falls in.
    const QByteArray whole = hex("930200") + GetParam().item;
    for (int n = 0; n < whole.size(); ++n)
        EXPECT_THROW(transport::decode(whole.left(n)), transport::DecodeError) << n << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Wire, Encoding, ::testing::ValuesIn(encoding_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Malformed and hostile messages
// ---------------------------------------------------------------------------

QByteArray deep_lists(int depth) {
    Writer w;
    w.pk.pack_array(3);
    w.pk.pack_int(2);
    w.pk.pack_int(0);
    for (int i = 0; i < depth; ++i)
        w.pk.pack_array(1);
    w.pk.pack_nil();
    return w.out.bytes;
}

// A tuple inside a tuple inside ..., each body a separate MessagePack document.
QByteArray tuple_body(int depth) {
    Writer w;
    w.pk.pack_array(1);
    if (depth == 0)
        w.pk.pack_nil();
    else
        w.ext(1, tuple_body(depth - 1));
    return w.out.bytes;
}

QByteArray deep_tuples(int depth) {
    Writer w;
    w.pk.pack_array(3);
    w.pk.pack_int(2);
    w.pk.pack_int(0);
    w.ext(1, tuple_body(depth));
    return w.out.bytes;
}

QByteArray message_with(const std::function<void(Writer&)>& item) {
    Writer w;
    w.pk.pack_array(3);
    w.pk.pack_int(2);
    w.pk.pack_int(0);
    item(w);
    return w.out.bytes;
}

struct MalformedCase {
    const char* name;
    QByteArray bytes;
    const char* reason; // a part of the DecodeError's text
};

const QByteArray valid = transport::encode_item(Value::tuple({"PD", Value::list({1.5, 2})}));

const MalformedCase malformed_cases[] = {
    {"empty", QByteArray(), "empty"},
    {"truncated", valid.left(valid.size() - 3), "truncated"},
    {"trailing_bytes", valid + QByteArray(1, '\xc0'), "after its array"},
    {"not_an_array", QByteArray("\x01", 1), "not an array"},
    {"no_item", QByteArray("\x92\x02\x01", 3), "no item"},
    {"no_sequence_number", QByteArray("\x91\x02", 2), "no sequence number"},
    {"negative_sequence_number", QByteArray("\x93\x02\xff\xc0", 4), "sequence number"},
    {"float_sequence_number", QByteArray("\x93\x02\xcb\x3f\xf0\0\0\0\0\0\0\xc0", 12),
     "sequence number"},
    {"no_version", QByteArray("\x90", 1), "no version"},
    {"version_1", QByteArray("\x92\x01\xc0", 3), "unsupported format version 1"},
    {"version_3", QByteArray("\x93\x03\x00\xc0", 4), "unsupported format version 3"},
    {"version_as_float", QByteArray("\x93\xcb\x40\0\0\0\0\0\0\0\x00\xc0", 12),
     "the version must be an integer"},
    {"version_1_as_float", QByteArray("\x92\xcb\x3f\xf0\0\0\0\0\0\0\xc0", 11),
     "the version must be an integer"},
    {"version_as_bool", QByteArray("\x93\xc3\x00\xc0", 4), "unsupported format version"},
    {"control_message", QByteArray("\x92\xa1\x31\xc0", 4), "control message"},
    {"reserved_byte", QByteArray("\x93\x02\x00\xc1", 4), "invalid MessagePack"},
    {"map", QByteArray("\x93\x02\x00\x81\x01\x02", 6), "maps"},
    {"uint64_above_int64",
     message_with([](Writer& w) { w.pk.pack_uint64(std::numeric_limits<std::uint64_t>::max()); }),
     "64 signed bits"},
    {"invalid_utf8", QByteArray("\x93\x02\x00\xa2\xc3\x28", 6), "UTF-8"},
    {"utf8_surrogate", QByteArray("\x93\x02\x00\xa3\xed\xa0\x80", 7), "UTF-8"},
    {"overlong_utf8", QByteArray("\x93\x02\x00\xa2\xc0\xaf", 6), "UTF-8"},
    {"cut_utf8_sequence", QByteArray("\x93\x02\x00\xa2\x61\xe2", 6), "UTF-8"},
    {"array_header_2e32", QByteArray("\x93\x02\x00\xdd\xff\xff\xff\xff\xc0", 9),
     "exceeds the limit"},
    {"array_header_just_over", QByteArray("\x93\x02\x00\xdd\x00\x0f\x42\x41\xc0", 9),
     "exceeds the limit"},
    {"list_ends_before_its_elements", QByteArray("\x93\x02\x00\x92\xa1\x61", 6), "truncated"},
    {"str_header_claims_4gb", QByteArray("\x93\x02\x00\xdb\xff\xff\xff\xff\x61", 9), "truncated"},
    {"bin_header_claims_4gb", QByteArray("\x93\x02\x00\xc6\xff\xff\xff\xff\x61", 9), "truncated"},
    {"ext_header_claims_4gb", QByteArray("\x93\x02\x00\xc9\xff\xff\xff\xff\x03\x00", 10),
     "truncated"},
    {"deep_lists", deep_lists(40), "nesting deeper than 32"},
    {"very_deep_lists", deep_lists(100000), "nesting deeper than 32"},
    {"deep_tuples", deep_tuples(40), "nesting deeper than 32"},
    {"very_deep_tuples", deep_tuples(2000), "nesting deeper than 32"},
    {"unknown_ext", message_with([](Writer& w) { w.ext(9, QByteArray(4, '\0')); }),
     "extension type 9"},
    {"timestamp_ext", message_with([](Writer& w) { w.ext(-1, QByteArray(4, '\0')); }),
     "extension type -1"},
    {"complex_body_15", message_with([](Writer& w) { w.ext(2, QByteArray(15, '\0')); }),
     "16 expected"},
    {"complex_body_17", message_with([](Writer& w) { w.ext(2, QByteArray(17, '\0')); }),
     "16 expected"},
    {"float_array_body_12", message_with([](Writer& w) { w.ext(3, QByteArray(12, '\0')); }),
     "whole number"},
    {"complex_array_body_24", message_with([](Writer& w) { w.ext(4, QByteArray(24, '\0')); }),
     "whole number"},
    {"empty_tuple_body", message_with([](Writer& w) { w.ext(1, QByteArray()); }), "empty"},
    {"tuple_body_scalar", message_with([](Writer& w) { w.ext(1, QByteArray("\x01", 1)); }),
     "not an array"},
    {"tuple_body_map", message_with([](Writer& w) { w.ext(1, QByteArray("\x80", 1)); }), "maps"},
    {"tuple_body_trailing", message_with([](Writer& w) { w.ext(1, QByteArray("\x90\x01", 2)); }),
     "after its array"},
    {"tuple_body_truncated", message_with([](Writer& w) { w.ext(1, QByteArray("\x92\x01", 2)); }),
     "truncated"},
    {"tuple_body_bad_utf8",
     message_with([](Writer& w) { w.ext(1, QByteArray("\x91\xa1\xff", 3)); }), "UTF-8"},
    {"ext_at_top", QByteArray("\xd4\x01\x90", 3), "not an array"},
};

class Malformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(Malformed, IsRejectedWithAReason) {
    const MalformedCase& c = GetParam();
    try {
        transport::decode(c.bytes);
        FAIL() << "accepted";
    } catch (const transport::DecodeError& e) {
        EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, Malformed, ::testing::ValuesIn(malformed_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Limits
// ---------------------------------------------------------------------------

TEST(CodecLimits, DepthCountsListsAndTupleBodiesTogether) {
    transport::Limits limits;
    limits.max_depth = 6;
    // message array + tuple + list + tuple + list = 5 levels, then one more list.
    const Value five = Value::tuple({Value::list({Value::tuple({Value::list({})})})});
    EXPECT_NO_THROW(transport::decode(transport::encode_item(five), limits));
    const Value six = Value::tuple({Value::list({Value::tuple({Value::list({Value::list({})})})})});
    EXPECT_NO_THROW(transport::decode(transport::encode_item(six), limits));
    const Value seven = Value::tuple(
        {Value::list({Value::tuple({Value::list({Value::tuple({Value::list({})})})})})});
    EXPECT_THROW(transport::decode(transport::encode_item(seven), limits), transport::DecodeError);
}

TEST(CodecLimits, DepthStaysBoundedWhateverIsAllowed) {
    // A permissive limit must not hand the decoding thread's stack to the sender.
    transport::Limits limits;
    limits.max_depth = 1'000'000;
    EXPECT_NO_THROW(transport::decode(deep_lists(1000), limits));
    for (const QByteArray& deep : {deep_lists(200'000), deep_tuples(5'000)}) {
        try {
            transport::decode(deep, limits);
            ADD_FAILURE() << "accepted";
        } catch (const transport::DecodeError& e) {
            EXPECT_STREQ(e.what(), "nesting deeper than 1024 levels");
        }
    }
}

TEST(CodecLimits, DefaultDepthAcceptsThirtyTwoLevels) {
    EXPECT_NO_THROW(transport::decode(deep_lists(31)));
    EXPECT_THROW(transport::decode(deep_lists(32)), transport::DecodeError);
    EXPECT_NO_THROW(transport::decode(deep_tuples(29)));
}

struct LimitCase {
    const char* name;
    transport::Limits limits;
    Value item;
    bool accepted;
};

transport::Limits with(std::size_t transport::Limits::*field, std::size_t value) {
    transport::Limits l;
    l.*field = value;
    return l;
}

const Value ten_floats = Value::list({0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0});

const LimitCase limit_cases[] = {
    {"array_at_limit", with(&transport::Limits::max_array_elements, 10), ten_floats, true},
    {"array_over_limit", with(&transport::Limits::max_array_elements, 9), ten_floats, false},
    // message array + version marker + sequence number + list + 10 floats = 14 values
    {"values_at_limit", with(&transport::Limits::max_total_values, 14), ten_floats, true},
    {"values_over_limit", with(&transport::Limits::max_total_values, 13), ten_floats, false},
    {"values_inside_tuples", with(&transport::Limits::max_total_values, 14),
     Value::tuple({ten_floats}), false},
    {"packed_array_is_one_value", with(&transport::Limits::max_total_values, 4),
     Value::float_array(QVector<double>(1000)), true},
    {"message_at_limit", with(&transport::Limits::max_message_bytes, 3 + 9), Value(1.0), true},
    {"message_over_limit", with(&transport::Limits::max_message_bytes, 3 + 8), Value(1.0), false},
};

class Limit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(Limit, IsEnforced) {
    const LimitCase& c = GetParam();
    const QByteArray bytes = transport::encode_item(c.item);
    if (c.accepted)
        EXPECT_EQ(transport::decode(bytes, c.limits), std::vector<Value>{c.item});
    else
        EXPECT_THROW(transport::decode(bytes, c.limits), transport::DecodeError);
}

INSTANTIATE_TEST_SUITE_P(Configured, Limit, ::testing::ValuesIn(limit_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CodecLimits, DefaultsAreThoseDocumented) {
    const transport::Limits l;
    EXPECT_EQ(l.max_message_bytes, 256u << 20);
    EXPECT_EQ(l.max_depth, 32u);
    EXPECT_EQ(l.max_array_elements, 1'000'000u);
    EXPECT_EQ(l.max_total_values, 4'000'000u);
}

TEST(CodecLimits, ManyElementsWithinTheLimitDecode) {
    // One million nils: the array limit itself, a real allocation and no more.
    Writer w;
    w.pk.pack_array(3);
    w.pk.pack_int(2);
    w.pk.pack_int(0);
    w.pk.pack_array(1'000'000);
    w.raw(QByteArray(1'000'000, '\xc0'));
    const std::vector<Value> out = transport::decode(w.out.bytes);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].size(), 1'000'000u);
}

} // namespace
