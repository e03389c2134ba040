// SPDX-License-Identifier: Apache-2.0
// The link's notifications need an event loop: one QCoreApplication for the run.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
