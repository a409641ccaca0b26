// One QApplication for a whole widget suite (gtest_main owns main()), its
// settings, data and cache in a private folder, never the user's. Include it once per suite.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
        qputenv("XDG_CACHE_HOME", config_.filePath(QStringLiteral("cache")).toLocal8Bit());
        qputenv("XDG_DATA_HOME", config_.filePath(QStringLiteral("data")).toLocal8Bit());
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
        QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
        QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config_.path());
    }
    void TearDown() override { app_.reset(); }

private:
    QTemporaryDir config_;
    int argc_ = 1;
    char name_[15] = "traytape_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};
inline auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);
