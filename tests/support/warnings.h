// Collects what goes to the warning channel while it lives, for tests that assert the
// warnings a call gives.
#pragma once

#include <tellurix/lumenfold/host.h>

#include <algorithm>
#include <vector>

struct Warnings {
    std::vector<QString> texts;
    tellurix::lumenfold::host::WarningHandler previous;
    Warnings()
        : previous(tellurix::lumenfold::host::set_warning_handler(
              [this](const QString& t) { texts.push_back(t); })) {}
    ~Warnings() { tellurix::lumenfold::host::set_warning_handler(previous); }
    Warnings(const Warnings&) = delete;
    Warnings& operator=(const Warnings&) = delete;
    bool any_starting(const QString& prefix) const {
        return std::any_of(texts.begin(), texts.end(),
                           [&](const QString& t) { return t.startsWith(prefix); });
    }
};
