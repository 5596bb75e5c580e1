#include "core/RemovalSummary.h"

#include "core/SplitArithmetic.h"

namespace {

constexpr std::size_t kNamesShown = 5;

std::string sentence(const std::vector<std::string>& names, const char* what) {
    if (names.empty()) return {};
    std::string text = "Kept " + std::to_string(names.size()) +
                       (names.size() == 1 ? " item " : " items ") + what + ": ";
    for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kNamesShown)
        text += ", and " + std::to_string(names.size() - kNamesShown) + " more";
    return text + ".";
}

} // namespace

std::string removalStoppedText(const RemovalReport& report, bool pieces) {
    const std::string kept = removalSummary(report, pieces);
    return "The removal was stopped: " + std::to_string(report.removed) +
           (report.removed == 1 ? " file" : " files") + " removed, " +
           std::to_string(report.notReached) + " left as " +
           (report.notReached == 1 ? "it was." : "they were.") + (kept.empty() ? "" : "\n" + kept);
}

std::string removalSummary(const RemovalReport& report, bool pieces) {
    const std::string notHeld = sentence(report.notHeld, pieces ? "that are not part of the set"
                                                                : "the pieces do not hold");
    const std::string changed =
        sentence(report.changed,
                 pieces ? "changed since the join read them" : "changed since the split read them");
    const std::string failed = sentence(report.failed, "that could not be removed");
    std::string text;
    for (const std::string* part : {&notHeld, &changed, &failed})
        if (!part->empty()) text += (text.empty() ? "" : "\n") + *part;
    return text;
}

std::string removalDoneText(const RemovalReport& report, const std::string& from, bool pieces) {
    const std::string kept = removalSummary(report, pieces);
    if (report.removed == 0) return kept;
    return "Removed " + groupedCount(report.removed) + (report.removed == 1 ? " file" : " files") +
           " from " + from + "." + (kept.empty() ? "" : "\n" + kept);
}
