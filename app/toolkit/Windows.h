#pragma once
// Windows, modal loops, panels and alerts.

#include <string>
#include <vector>

namespace toolkit {

// Responses of a modal loop.
inline constexpr int kModalResponseCancel = 0;
inline constexpr int kModalResponseOK = 1;
inline constexpr int kModalResponseStop = -1000;

class View {
public:
    virtual ~View() = default;
    virtual void setHidden(bool hidden) = 0;
};

class Window {
public:
    virtual ~Window() = default;
    virtual void setTitle(const std::string& title) = 0;
    virtual void center() = 0;
    virtual void makeKeyWindow() = 0;
    // Hides the window.
    virtual void orderOut() = 0;
    virtual void setContentView(View* view) = 0;
    virtual bool isVisible() const = 0;
    // Asks the window to close, as its close button does.
    virtual void performClose() = 0;
};

// The application's modal loops. runModalForWindow shows the window and
// blocks (while events keep flowing) until stopModal ends the innermost loop;
// it returns the response given to stopModal. UI thread only.
class Application {
public:
    virtual ~Application() = default;
    virtual int runModalForWindow(Window* window) = 0;
    virtual void stopModal(int response = kModalResponseStop) = 0;
    // One of the application's windows has the keyboard: the user is here.
    virtual bool isActive() const = 0;
};

// A file or folder chooser. runModal returns kModalResponseOK (1) when the
// user chose an item; path() is that item's absolute path.
class OpenPanel {
public:
    virtual ~OpenPanel() = default;
    virtual void setTitle(const std::string& title) = 0;
    virtual void setCanChooseDirectories(bool can) = 0;
    virtual void setCanChooseFiles(bool can) = 0;
    virtual void setCanCreateDirectories(bool can) = 0;
    virtual void setAllowsMultipleSelection(bool allows) = 0;
    virtual int runModal() = 0;
    virtual std::string path() const = 0;
};

// A message shown as a sheet on a window; it does not block the caller.
class Alert {
public:
    virtual ~Alert() = default;
    virtual void beginSheetModalForWindow(Window* window, const std::string& messageText,
                                          const std::string& defaultButton,
                                          const std::string& informativeText) = 0;
    // Asks and waits for the answer: kModalResponseOK for `confirmButton`,
    // kModalResponseCancel for `cancelButton`, which is the default.
    virtual int runModalQuestion(Window* window, const std::string& messageText,
                                 const std::string& informativeText,
                                 const std::string& confirmButton,
                                 const std::string& cancelButton) = 0;
    // Asks with several answers and waits: the index of the button chosen in
    // `buttons`, whose last is the cancelling one and the default.
    virtual int runModalChoice(Window* window, const std::string& messageText,
                               const std::string& informativeText,
                               const std::vector<std::string>& buttons) = 0;
};

} // namespace toolkit
