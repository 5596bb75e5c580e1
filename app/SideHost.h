#pragma once
// What a side of the main window (the split side, the join side) may ask of
// the window around it. Each side owns its outlets and its state; this is all
// it reaches beyond them, and the main window's controller answers it.

#include <string>
#include <vector>

class RunHost;
namespace toolkit {
class Toolkit;
} // namespace toolkit

class SideHost {
public:
    virtual ~SideHost() = default;

    virtual toolkit::Toolkit& toolkit() = 0;
    // Where the side starts its runs, and the progress window they show in.
    virtual RunHost& runs() = 0;
    // An alert on the main window, with OK.
    virtual void showAlert(const std::string& message, const std::string& informative) = 0;
    // A question on the main window; true when the user chose `yes`.
    virtual bool confirm(const std::string& question, const std::string& informative,
                         const std::string& yes, const std::string& no) = 0;
    // A question with several answers; the index of the one chosen in
    // `buttons`, whose last cancels.
    virtual int choose(const std::string& question, const std::string& informative,
                       const std::vector<std::string>& buttons) = 0;

    // The one state the sides share: the join side reads a set on a worker
    // thread, and no split starts meanwhile.
    virtual bool readingSet() const = 0;
    // The join side began or ended reading a set.
    virtual void readingSetChanged() = 0;
};
