#include "cli/Progress.h"

#include <cstdio>

std::string humanBytes(int64_t bytes) {
    static const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string Progress::quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
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

void Progress::tick(int64_t done, int64_t total) {
    const int64_t percent = total > 0 ? done * 100 / total : 0;
    if (json_) {
        std::printf("{\"event\":\"progress\",\"done\":%lld,\"total\":%lld,\"percent\":%lld}\n",
                    static_cast<long long>(done), static_cast<long long>(total),
                    static_cast<long long>(percent));
        std::fflush(stdout);
    }
    if (!terminal_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string left = "--:--";
    if (rate > 0 && total >= done) {
        const auto remaining = static_cast<long long>(static_cast<double>(total - done) / rate);
        char text[32];
        std::snprintf(text, sizeof text, "%lld:%02lld left", remaining / 60, remaining % 60);
        left = text;
    }
    std::fprintf(stderr, "\r%3lld%%  %s of %s  %s/s  %s\033[K", static_cast<long long>(percent),
                 humanBytes(done).c_str(), humanBytes(total).c_str(),
                 humanBytes(static_cast<int64_t>(rate)).c_str(), left.c_str());
    drawn_ = true;
}

void Progress::clear() {
    if (drawn_) std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
}
