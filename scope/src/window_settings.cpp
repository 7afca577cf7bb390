#include <tellurix/lumenfold/scope/window_settings.h>

#include <QSettings>
#include <QString>

namespace tellurix::lumenfold::scope {

namespace {

// Named here, not taken from the application object, so that an embedding host or a test
// that never names its application still finds the scope's own settings.
const QString organisation = QStringLiteral("lumenfold");
const QString application = QStringLiteral("lumenfold-scope");

} // namespace

RememberedLayout load_layout() {
    const QSettings s(QSettings::NativeFormat, QSettings::UserScope, organisation, application);
    RememberedLayout layout;
    layout.geometry = s.value(QStringLiteral("window/geometry")).toByteArray();
    layout.state = s.value(QStringLiteral("window/state")).toByteArray();
    layout.legend = s.value(QStringLiteral("view/legend"), true).toBool();
    return layout;
}

void store_layout(const RememberedLayout& layout) {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, organisation, application);
    s.setValue(QStringLiteral("window/geometry"), layout.geometry);
    s.setValue(QStringLiteral("window/state"), layout.state);
    s.setValue(QStringLiteral("view/legend"), layout.legend);
}

void forget_layout() {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, organisation, application);
    s.clear();
}

} // namespace tellurix::lumenfold::scope
