// SPDX-License-Identifier: Apache-2.0
#include "shell/desktop_identity.h"

#include <QGuiApplication>
#include <QIcon>

// The resource file lives in a static library: naming its initializer here makes the
// linker keep it in both programs.
static void init_program_resources() {
    Q_INIT_RESOURCE(kelbos);
}

namespace kelbos {

void apply_desktop_identity(const QString& desktop_entry) {
    init_program_resources();
    QGuiApplication::setWindowIcon(QIcon(PROGRAM_ICON));
    QGuiApplication::setDesktopFileName(desktop_entry);
}

}  // namespace kelbos
