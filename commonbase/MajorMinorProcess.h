#pragma once
#include <cstdint>

namespace commonbase {

// Progress of a process in two levels.
class MajorMinorProcess {
public:
    struct Counter {
        std::int32_t current = 0;
        std::int32_t total = 100;
        Counter() = default;
        explicit Counter(std::int32_t t) : total(t) {}
        Counter(std::int32_t c, std::int32_t t) : current(c), total(t) {}
        void setCurrent(std::int32_t n) { current = n; }
        void addToCurrent(std::int32_t n) { current += n; }
        double fraction() const { return total == 0 ? 0.0 : static_cast<double>(current) / total; }
    };

    MajorMinorProcess() = default;
    MajorMinorProcess(std::int32_t majorTotal, std::int32_t minorTotal) : major_(majorTotal), minor_(minorTotal) {}
    virtual ~MajorMinorProcess() = default;

    Counter& major() { return major_; }
    Counter& minor() { return minor_; }
    const Counter& major() const { return major_; }
    const Counter& minor() const { return minor_; }
    void setMajor(const Counter& c) { major_ = c; }
    void setMinor(const Counter& c) { minor_ = c; }
    void setMinorCurrent(std::int32_t n) { minor_.setCurrent(n); }
    void addToMinorCurrent(std::int32_t n) { minor_.addToCurrent(n); }

private:
    Counter major_;
    Counter minor_;
};

} // namespace commonbase
