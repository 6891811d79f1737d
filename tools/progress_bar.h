// A one-line progress bar on standard error, redrawn when the percentage
// changes (shown only when enabled, for example when standard error is a
// terminal).
#ifndef KADENZO_TOOLS_PROGRESS_BAR_H
#define KADENZO_TOOLS_PROGRESS_BAR_H

#include <algorithm>
#include <cstdio>
#include <string>

class ProgressBar {
  public:
    ProgressBar(bool enabled, const std::string& label) : enabled_(enabled), label_(label) {}
    void update(double fraction) {
        if (!enabled_) return;
        const int percent = std::min(100, std::max(0, static_cast<int>(fraction * 100.0)));
        if (percent == shown_) return;
        shown_ = percent;
        const int width = 30, filled = percent * width / 100;
        std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
                     std::string(width - filled, '-').c_str(), percent);
        std::fflush(stderr);
    }
    void finish() {
        if (!enabled_ || shown_ < 0) return;
        std::fprintf(stderr, "\r%s\r", std::string(label_.size() + 40, ' ').c_str());
        std::fflush(stderr);
    }

  private:
    bool enabled_;
    std::string label_;
    int shown_ = -1;
};

// The last component of a path, for labels.
inline std::string baseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

#endif
