// GoogleTest's main with the QApplication the window tests need, and a
// watchdog: a modal loop that never ends fails its test instead of hanging.

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

// Ends the process with a failure when one test runs longer than the bound.
// Its state lives for the whole process: the watching thread never ends.
struct WatchState {
    std::mutex mutex;
    std::condition_variable changed;
    std::string name;
    std::chrono::steady_clock::time_point deadline;
    bool running = false;
};
WatchState* const gWatch = new WatchState;
constexpr std::chrono::seconds kBound{60};

void watch() {
    std::unique_lock lock(gWatch->mutex);
    for (;;) {
        gWatch->changed.wait(lock, [] { return gWatch->running; });
        if (!gWatch->changed.wait_until(lock, gWatch->deadline, [] { return !gWatch->running; })) {
            std::fprintf(stderr,
                         "watchdog: %s did not end within %lld s (a modal loop that never ends?)\n",
                         gWatch->name.c_str(), static_cast<long long>(kBound.count()));
            std::fflush(stderr);
            _exit(1);
        }
    }
}

class Watchdog : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& test) override {
        std::lock_guard lock(gWatch->mutex);
        gWatch->name = std::string(test.test_suite_name()) + "." + test.name();
        gWatch->deadline = std::chrono::steady_clock::now() + kBound;
        gWatch->running = true;
        gWatch->changed.notify_all();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        std::lock_guard lock(gWatch->mutex);
        gWatch->running = false;
        gWatch->changed.notify_all();
    }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // CTest sets the offscreen platform; listing the tests at build time needs it too.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Remembered settings go to a test location, never the user's, and one of
    // this process's own: the tests run in parallel processes, and one's
    // settings must not change under another.
    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir settingsHome;
    if (settingsHome.isValid())
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
    QApplication::setOrganizationName("Morvane");
    QApplication::setApplicationName("Parcelor tests");
    testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    std::thread(watch).detach();
    return RUN_ALL_TESTS();
}
