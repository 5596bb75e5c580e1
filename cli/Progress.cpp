#include "cli/Progress.h"

#include "core/SizeLabels.h"

#include "core/SplitArithmetic.h"
#include "engine/base/utilities.h"

#include <cstdio>

std::string Progress::quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : bytesOf(text)) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void Progress::start(const std::string& command, const std::vector<Field>& fields) {
    started_ = std::chrono::steady_clock::now();
    if (!json_) return;
    std::string line = "{\"event\":\"start\",\"version\":1,\"command\":" + quoted(command);
    for (const auto& [name, value] : fields)
        line += ",\"" + name + "\":" + value;
    std::printf("%s}\n", line.c_str());
    std::fflush(stdout);
}

void Progress::tick(int64_t done, int64_t total, RunPhase phase) {
    const int64_t percent = progressPercent(done, total);
    if (json_) {
        std::printf("{\"event\":\"progress\",\"done\":%lld,\"total\":%lld,\"percent\":%lld}\n",
                    static_cast<long long>(done), static_cast<long long>(total),
                    static_cast<long long>(percent));
        std::fflush(stdout);
    }
    if (!terminal_) return;
    if (phase != RunPhase::Copying) {
        std::fprintf(stderr, "\r100%%  %s\033[K", phaseText(phase));
        drawn_ = true;
        return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::fprintf(stderr, "\r%3lld%%  %s\033[K", static_cast<long long>(percent),
                 withBinaryUnits(progressText(done, total, seconds)).c_str());
    drawn_ = true;
}

void Progress::clear() {
    if (drawn_) std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
}
