// Helpers shared by the window tests.
#pragma once

#include "engine/engine.h"
#include "ui/twips.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRect>
#include <QWidget>

#include <functional>
#include <string>

namespace uitest {

// Twips to pixels the way a screen at `dpi` places them, computed here
// independently of the program's helper.
inline QRect ExpectedRect(double left, double top, double width, double height) {
    const double dpi = ui::LogicalDpi();
    auto px = [dpi](double twips) { return static_cast<int>(twips * dpi / 1440.0 + 0.5); };
    return QRect(px(left), px(top), px(width), px(height));
}

// Lets the event loop run until `done` holds or `ms` pass.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// The JSON event lines of captured standard error, without the warnings Qt
// itself may write there in a test.
inline std::string EventLines(const std::string& captured) {
    std::string out;
    std::size_t start = 0;
    while (start < captured.size()) {
        std::size_t end = captured.find('\n', start);
        end = end == std::string::npos ? captured.size() : end + 1;
        if (captured[start] == '{') out += captured.substr(start, end - start);
        start = end;
    }
    return out;
}

// A table of `rows` generated rows, counting how it is read.
class FakeRowReader : public engine::RowReader {
  public:
    FakeRowReader(std::vector<engine::Field> fields, std::int64_t rows)
        : fields_(std::move(fields)), rows_(rows) {}
    const std::vector<engine::Field>& Fields() const override { return fields_; }
    std::int64_t RowCount() override { return rows_; }
    std::vector<std::vector<engine::Value>> ReadRows(std::int64_t first, int count) override {
        ++reads;
        rowsRead += count;
        if (failReads) throw engine::EngineError(engine::errDiskIo, "Disk or network error");
        std::vector<std::vector<engine::Value>> out;
        for (std::int64_t r = first; r < std::min(rows_, first + count); ++r) {
            std::vector<engine::Value> values;
            for (std::size_t c = 0; c < fields_.size(); ++c)
                values.push_back(ValueAt(r, c));
            out.push_back(std::move(values));
        }
        return out;
    }
    // Column 0 holds the row number, column 1 text, later columns Null.
    static engine::Value ValueAt(std::int64_t row, std::size_t column) {
        if (column == 0) return row;
        if (column == 1) return "row " + std::to_string(row);
        return engine::Null{};
    }

    int reads = 0;
    std::int64_t rowsRead = 0;
    bool failReads = false;

  private:
    std::vector<engine::Field> fields_;
    std::int64_t rows_;
};

} // namespace uitest
