// What the GUI thread spends when a "PN" with a long name list arrives: the command intake
// calls ToolBar::refresh_comb, which re-reads the formats, re-matches the current pattern
// against the new names and lists them in the "(X,Y)" label's tooltip. Names up to the
// 1,000,000 that one "PN" may carry; the goal is under one second for any pattern. Where
// the pattern is refused, the call ends before the tooltip.
#include <tellurix/lumenfold/toolbar.h>

#include <benchmark/benchmark.h>

namespace lf = tellurix::lumenfold;

namespace {

struct Box : lf::host::DataBox {
    QStringList names;
    QStringList column_names() const override { return names; }
};

struct Host : lf::host::HostWindow {
    Box points, traces;
    lf::host::DataBox& point_data_box() override { return points; }
    lf::host::DataBox& trace_data_box() override { return traces; }
    void all_enable_auto_range() override {}
    void enable_all_auto_range() override {}
};

QStringList logger_columns(int n) {
    static const char* const quantities[] = {"volt", "curr", "temp", "phase", "freq"};
    QStringList names{QStringLiteral("time")};
    names.reserve(n);
    for (int i = 1; names.size() < n; ++i)
        names << QStringLiteral("ch%1_%2").arg(i / 5).arg(QLatin1String(quantities[i % 5]));
    return names;
}

// `errors_per_call` is 1 where the pattern is refused (PatternError from the work bound);
// the toolbar then keeps its pairs.
void run_refresh(benchmark::State& state, const QString& pattern) {
    Host host;
    host.points.names = logger_columns(static_cast<int>(state.range(0)));
    lf::toolbar::ToolBar bar;
    bar.set_mainwindow(&host);
    try {
        bar.set_point_text(pattern);
    } catch (const lf::PatternError&) {
    }
    int errors = 0;
    for (auto _ : state) {
        try {
            bar.refresh_comb();
        } catch (const lf::PatternError&) {
            ++errors;
        }
    }
    state.counters["pairs"] = double(bar.xypairs.size());
    state.counters["errors_per_call"] = double(errors) / double(state.iterations());
}

void BM_RefreshNoPattern(benchmark::State& state) {
    run_refresh(state, QString());
}
BENCHMARK(BM_RefreshNoPattern)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_RefreshExactPair(benchmark::State& state) {
    run_refresh(state, QStringLiteral("time,ch1_volt"));
}
BENCHMARK(BM_RefreshExactPair)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_RefreshTimeAgainstChannels(benchmark::State& state) {
    run_refresh(state, QStringLiteral("time,ch\\d+_volt"));
}
BENCHMARK(BM_RefreshTimeAgainstChannels)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

void BM_RefreshEveryPair(benchmark::State& state) {
    run_refresh(state, QStringLiteral(".*"));
}
BENCHMARK(BM_RefreshEveryPair)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

} // namespace
