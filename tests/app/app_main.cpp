// The window's tests run inside one offscreen application.
#include <gtest/gtest.h>

#include <QApplication>

#include "app_fixture.h"

int main(int argc, char** argv) {
    // Listing the tests at build time needs no display either.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    sonorix::test::AppTest::remove_media();
    return status;
}
