#include "shell/window/dialogs/settings_dialogs.h"

#include <QPointer>

#include "app/controller.h"
#include "shell/window/dialogs/expert_dialog.h"
#include "shell/window/dialogs/options_dialog.h"
#include "shell/window/dialogs/station_info_dialog.h"
#include "shell/window/window_host.h"

void install_settings_dialogs(Context& ctx, WindowHost& host, QWidget* window) {
    // The host may outlive the window: a dialog opened then has no owner.
    QPointer<QWidget> owner = window;
    host.dialogs[Dialog::options] = [&ctx, &host, owner] {
        return run_options_dialog(ctx, host, owner.data());
    };
    host.dialogs[Dialog::expert_settings] = [&ctx, &host, owner] {
        return run_expert_dialog(ctx, host, owner.data());
    };
    host.dialogs[Dialog::station_info] = [&ctx, &host, owner] {
        return run_station_info_dialog(ctx, host, owner.data());
    };
}
