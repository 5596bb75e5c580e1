#pragma once
// What a drag offers, and the receiver the drop views hand dropped paths to.

#include <string>
#include <vector>

// The pasteboard type of a list of absolute file paths.
inline constexpr const char* kFilenamesPboardType = "filenames";

inline constexpr int kDragOperationNone = 0;
inline constexpr int kDragOperationCopy = 1;
inline constexpr int kDragOperationEvery = -1; // every bit set

struct DragInfo {
    std::vector<std::string> types;     // the types the pasteboard offers
    std::vector<std::string> filenames; // its file list, in drag order

    bool offers(const std::string& type) const;
};

// Receives dropped paths. The views ask respondsToSelector first and call a
// receiver only when it answers yes.
class FileDropDelegate {
public:
    virtual ~FileDropDelegate() = default;
    virtual bool respondsToSelector(const std::string& selector) const = 0;
    virtual void acceptFileNameDragintoPathView(const std::string& /*path*/) {}
    virtual void acceptFileNameDrag(const std::string& /*path*/) {}
};
