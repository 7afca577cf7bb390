// Builds against the installed headers and libraries only and checks that each module
// links and works at its simplest. argv[1]: the install prefix the libraries must come from.
#include <tellurix/lumenfold/config.h>
#include <tellurix/lumenfold/host.h>
#ifdef LUMENFOLD_HAVE_TOOLBAR
#include <tellurix/lumenfold/toolbar.h>
#endif
#ifdef LUMENFOLD_HAVE_CHARTPANE
#include <tellurix/lumenfold/chartpane.h>
#endif
#ifdef LUMENFOLD_HAVE_CMDPUMP
#include <tellurix/lumenfold/cmdpump.h>
#endif

#include <QApplication>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace lf = tellurix::lumenfold;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "lumenfold consumer: FAILED: %s\n", what);
        ++failures;
    }
}

// The shared object a symbol was loaded from, to prove the installed copy is in use.
const char* library_of(const void* symbol) {
    Dl_info info{};
    return dladdr(symbol, &info) != 0 && info.dli_fname ? info.dli_fname : "";
}

#ifdef LUMENFOLD_HAVE_CMDPUMP
struct CountingDataset : lf::host::Dataset {
    void set_column_names(const lf::host::Value&) override { ++names; }
    void append(const lf::host::Value&) override { ++records; }
    void roll() override {}
    int names = 0, records = 0;
};
#endif

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const char* prefix = argc > 1 ? argv[1] : "";

    const lf::host::Value names = lf::host::Value::str_list({"t", "volts"});
    check(lf::host::text_form(names) == QStringLiteral("['t', 'volts']"), "text_form");
    check(!lf::config::ridx.empty(), "settings");
    check(std::strncmp(library_of(reinterpret_cast<const void*>(&lf::host::text_form)), prefix,
                       std::strlen(prefix)) == 0,
          "host library comes from the install prefix");

#ifdef LUMENFOLD_HAVE_TOOLBAR
    lf::toolbar::ToolBar toolbar;
    check(toolbar.mode == QStringLiteral("P"), "toolbar starts on points");
#endif
#ifdef LUMENFOLD_HAVE_CHARTPANE
    lf::chartpane::PlotWidget plot;
    check(!plot.plots.empty(), "plot widget has curves");
#endif
#if defined(LUMENFOLD_HAVE_CMDPUMP) && defined(LUMENFOLD_HAVE_TOOLBAR)
    lf::cmdpump::MemoryQueue queue;
    CountingDataset points, traces;
    lf::cmdpump::CmdPump pump(queue, toolbar, points, traces);
    queue.put(lf::host::Value::tuple({"TD", 1.0}));
    pump.flush();
    check(traces.records == 1 && queue.size() == 0, "command reaches the trace dataset");
#endif

    if (failures != 0)
        return 1;
    std::printf("lumenfold consumer: ok\n");
    return 0;
}
