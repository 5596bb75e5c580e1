#pragma once
// The application's delegate: closing the last window ends the program.

class AppDelegate {
public:
    void applicationDidFinishLaunching() {}
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
};
