// SPDX-License-Identifier: Apache-2.0
#include "shell/scene_file_dialog.h"

#include <QFileDialog>

namespace kelbos {

std::optional<std::string> ask_scene_file(QWidget* parent) {
    QFileDialog dialog(parent, "Open kelbos file");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters({"Kelbos file (*.klx *.kelx)", "All files (*)"});
    dialog.setDefaultSuffix("klx");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

}  // namespace kelbos
