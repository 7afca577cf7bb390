// Cost of matched_xy_pairs: n * n candidates against three pattern items, the worst
// runaway item the backtracking budget has to stop, and long name lists (up to the
// 1,000,000 names one "PN" may carry) against the usual items and the work bound.
#include <tellurix/lumenfold/toolbar.h>

#include <benchmark/benchmark.h>

namespace lf = tellurix::lumenfold;

namespace {

// Column names as a data logger writes them: a time base and channels with units.
QStringList logger_columns(int n, bool long_words = false) {
    static const char* const quantities[] = {"volt", "curr", "temp", "phase", "freq"};
    static const char* const long_quantities[] = {"voltage", "current", "temperature", "phase",
                                                  "frequency"};
    QStringList names{QStringLiteral("time")};
    for (int i = 1; names.size() < n; ++i)
        names << QStringLiteral("ch%1_%2").arg(i / 5).arg(
            QLatin1String(long_words ? long_quantities[i % 5] : quantities[i % 5]));
    return names;
}

// Three items of the kind users type: one exact pair, one class of Y columns against the
// time base, one pair of channel families. Most candidates are tried against all three.
const QString kTypedItems = QStringLiteral("time, ch0_volt ; time,ch\\d+_(volt|curr) ; "
                                           "ch1[0-9]_temp,ch2.*_temp");
// Three items that neither start nor end with plain text, so every candidate goes through
// the engine for every item: the cost of the regular-expression calls themselves.
const QString kEngineItems = QStringLiteral("(time|ch0_volt),ch\\d_(volt) ; "
                                            "\\w+_temp,ch1\\d_(temp|freq) ; [ct].*,ch2\\d_(curr)");
constexpr int kItems = 3;

// The reported times per candidate and per candidate and item are in seconds with an SI
// prefix ("40n" is 40 ns).
void run_matcher(benchmark::State& state, const QString& patterns) {
    const QStringList names = logger_columns(static_cast<int>(state.range(0)));
    const double candidates = double(names.size()) * double(names.size());
    std::size_t found = 0;
    for (auto _ : state) {
        const lf::toolbar::XYPairs pairs = lf::toolbar::matched_xy_pairs(patterns, names);
        found = pairs.size();
        benchmark::DoNotOptimize(pairs.data());
    }
    const auto per = benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert;
    state.counters["pairs"] = double(found);
    state.counters["per_candidate"] = benchmark::Counter(candidates, per);
    state.counters["per_candidate_item"] = benchmark::Counter(candidates * kItems, per);
}

void BM_TypedItems(benchmark::State& state) {
    run_matcher(state, kTypedItems);
}
BENCHMARK(BM_TypedItems)->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_EngineBoundItems(benchmark::State& state) {
    run_matcher(state, kEngineItems);
}
// 500 names: 750,000 checks, inside the work bound.
BENCHMARK(BM_EngineBoundItems)->Arg(100)->Arg(300)->Arg(500)->Unit(benchmark::kMillisecond);

// Nested repetition on a long name whose other column holds the required "b": without the
// budget each such candidate needs about 2^len steps. The call ends in PatternError.
void BM_RunawayItem(benchmark::State& state) {
    const QStringList names{QString(int(state.range(0)), QLatin1Char('a')), QStringLiteral("b")};
    int errors = 0;
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(
                lf::toolbar::matched_xy_pairs(QStringLiteral("(a+)+b"), names));
        } catch (const lf::PatternError&) {
            ++errors;
        }
    }
    state.counters["errors_per_call"] = double(errors) / double(state.iterations());
}
BENCHMARK(BM_RunawayItem)->Arg(32)->Arg(200)->Arg(2000)->Unit(benchmark::kMillisecond);

// A nested repetition over ordinary names: each candidate stays within the full budget
// (2^12 to 2^16 ways to split a name), but without a limit on heavy candidates the n * n
// of them freeze the GUI (about 20 s for n = 300 in a first version). The call ends in
// PatternError once too many candidates were heavy.
void BM_RunawayOnEveryCandidate(benchmark::State& state) {
    const QStringList names = logger_columns(static_cast<int>(state.range(0)), true);
    int errors = 0;
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(
                lf::toolbar::matched_xy_pairs(QStringLiteral("(\\w+)+_x,.*"), names));
        } catch (const lf::PatternError&) {
            ++errors;
        }
    }
    state.counters["errors_per_call"] = double(errors) / double(state.iterations());
}
BENCHMARK(BM_RunawayOnEveryCandidate)->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);

// A wasteful but harmless item (an alternation under a star) that stays within the quick
// budget: the cost of an item that is slow on every candidate yet legitimate.
void BM_SlowButLegitimateItem(benchmark::State& state) {
    const QStringList names = logger_columns(static_cast<int>(state.range(0)), true);
    std::size_t found = 0;
    for (auto _ : state) {
        const auto pairs =
            lf::toolbar::matched_xy_pairs(QStringLiteral("(a|b|c|d|e|f|g|h|.)*,.*"), names);
        found = pairs.size();
    }
    state.counters["pairs"] = double(found);
    state.counters["per_candidate"] = benchmark::Counter(
        double(names.size()) * double(names.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SlowButLegitimateItem)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Long name lists: what one "PN" of up to 1,000,000 names costs at the next re-match
// ---------------------------------------------------------------------------

// c0, c1, ...: short names, so that the figures are the walk's and not the copying's.
QStringList numbered_columns(int n) {
    QStringList names;
    names.reserve(n);
    for (int i = 0; i < n; ++i)
        names << QStringLiteral("c%1").arg(i);
    return names;
}

// One re-match of a long list; `errors_per_call` is 1 where the call ends in PatternError
// (the work bound), 0 where it returns pairs.
void run_long_list(benchmark::State& state, const QStringList& names, const QString& patterns) {
    std::size_t found = 0;
    int errors = 0;
    for (auto _ : state) {
        try {
            const lf::toolbar::XYPairs pairs = lf::toolbar::matched_xy_pairs(patterns, names);
            found = pairs.size();
            benchmark::DoNotOptimize(pairs.data());
        } catch (const lf::PatternError&) {
            ++errors;
        }
    }
    state.counters["pairs"] = double(found);
    state.counters["errors_per_call"] = double(errors) / double(state.iterations());
}

// No pattern yet (the field is empty): nothing to match, whatever the list.
void BM_LongListNoPattern(benchmark::State& state) {
    run_long_list(state, numbered_columns(int(state.range(0))), QString());
}
BENCHMARK(BM_LongListNoPattern)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// One exact pair: only X name c0 and Y name c1 fit.
void BM_LongListExactPair(benchmark::State& state) {
    run_long_list(state, numbered_columns(int(state.range(0))), QStringLiteral("c0,c1"));
}
BENCHMARK(BM_LongListExactPair)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// The time base against one family of channels: X is fixed, every Y goes to the engine.
void BM_LongListTimeAgainstChannels(benchmark::State& state) {
    run_long_list(state, logger_columns(int(state.range(0))), QStringLiteral("time,ch\\d+_volt"));
}
BENCHMARK(BM_LongListTimeAgainstChannels)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

// An item with no literal text on a list at the bound (1,000^2 checks, every one through
// the engine): the slowest call the bound lets through for a typed item.
void BM_WidestWithinTheBound(benchmark::State& state) {
    run_long_list(state, logger_columns(int(state.range(0))), QStringLiteral("\\w+_temp,.*"));
}
BENCHMARK(BM_WidestWithinTheBound)->Arg(1'000)->Unit(benchmark::kMillisecond);

// Every pair of a long list: refused by the count before any pair is tried.
void BM_LongListEveryPair(benchmark::State& state) {
    run_long_list(state, numbered_columns(int(state.range(0))), QStringLiteral(".*"));
}
BENCHMARK(BM_LongListEveryPair)
    ->Arg(1'001)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
