#pragma once
// A station of the test's own for tests of its settings and their dialogs:
// a private configuration folder (proxy settings, autostart entry), a
// private VELMORA_HOME (weekday logs) and the settings file "lumo.ini" in a
// temporary folder, named but not yet written. `HostT` is the host the
// context reaches the world through (FakeHost, or the window's host).

#include <gtest/gtest.h>

#include <memory>

#include "app/context.h"
#include "app/program.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

template <typename HostT>
struct SettingsFixture : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config")};
    ScopedEnv home{"VELMORA_HOME", dir.file("home")};
    HostT host;
    std::unique_ptr<Context> ctx = make_context(host);

    SettingsFixture() {
        if constexpr (requires { host.attach(ctx.get()); }) host.attach(ctx.get());
        ctx->state.settings_file = dir.file("lumo.ini");
    }
};
