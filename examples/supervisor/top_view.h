// top_view.h - what the live statistics view shows: the latest answer against the one before,
// and the console lines that came in meanwhile.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "console.h"
#include "statistics.h"

class TopView {
public:
    using Clock = std::chrono::steady_clock;

    // Rates come from the time between two answers as they arrive here: the core's uptime
    // counts whole seconds only.
    void Answer(const Statistics& statistics, Clock::time_point at) {
        before_ = last_;
        hasBefore_ = hasLast_;
        last_ = Sample{statistics, at};
        hasLast_ = true;
        problem_.clear();
    }

    // Shown above the table until the next answer.
    void Problem(const std::string& text) { problem_ = text; }

    void Hold(const std::string& line) {
        held_.push_back(line);
        ++heldCount_;
        if (held_.size() > kKeptLines) held_.pop_front();
    }
    std::size_t heldCount() const { return heldCount_; }

    // A title, the table, then as many of the latest held lines as the rows leave room for.
    std::vector<std::string> Screen(int rows) const {
        std::vector<std::string> screen = {
            "\x1b[1mdvrcore statistics\x1b[0m, each second; any key leaves the view"};
        if (!problem_.empty()) screen.back() += "  \x1b[33m" + problem_ + "\x1b[0m";
        if (hasLast_) {
            const double seconds =
                hasBefore_ ? std::chrono::duration<double>(last_.at - before_.at).count() : 0;
            std::vector<std::string> table = StatisticsLines(
                last_.statistics, hasBefore_ ? &before_.statistics : nullptr, seconds);
            table[1] = "\x1b[7m" + table[1] + "\x1b[0m";  // the column titles
            screen.insert(screen.end(), table.begin(), table.end());
        } else {
            screen.push_back("waiting for the core's first answer");
        }
        const int room = rows - static_cast<int>(screen.size()) - 1;
        if (room > 0 && !held_.empty()) {
            screen.push_back("");
            const std::size_t shown = std::min(held_.size(), static_cast<std::size_t>(room));
            screen.insert(screen.end(), held_.end() - static_cast<std::ptrdiff_t>(shown),
                          held_.end());
        }
        return screen;
    }

private:
    struct Sample {
        Statistics statistics;
        Clock::time_point at;
    };
    static constexpr std::size_t kKeptLines = 200;  // more than any terminal has rows

    Sample last_, before_;
    bool hasLast_ = false, hasBefore_ = false;
    std::deque<std::string> held_;
    std::size_t heldCount_ = 0;
    std::string problem_;
};
