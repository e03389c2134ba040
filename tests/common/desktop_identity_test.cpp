// SPDX-License-Identifier: Apache-2.0
#include "shell/desktop_identity.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QWidget>

using namespace kelbos;

// The icon is built into the program: every window shows the kelbo in the default
// kelbo colour's three faces, and the desktop entry is named.
TEST(DesktopIdentity, WindowsCarryTheKelboIcon) {
    apply_desktop_identity("kelbostx");
    EXPECT_EQ(QGuiApplication::desktopFileName(), "kelbostx");

    QWidget window;
    const QIcon icon = window.windowIcon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_TRUE(icon.availableSizes().contains(QSize(64, 64)));
    const QImage image = icon.pixmap(QSize(64, 64)).toImage();
    ASSERT_EQ(image.size(), QSize(64, 64));
    EXPECT_EQ(image.pixel(48, 36), qRgb(128, 0, 0));    // width side
    EXPECT_EQ(image.pixel(16, 36), qRgb(64, 0, 0));     // depth side
    EXPECT_EQ(image.pixel(32, 16), qRgb(153, 51, 51));  // top
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);            // transparent round it

    apply_desktop_identity("kelbosrx");
    EXPECT_EQ(QGuiApplication::desktopFileName(), "kelbosrx");
}
