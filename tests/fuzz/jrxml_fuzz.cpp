// Fuzz target: report definition files. Parses the bytes as JRXML, binds the
// expressions, evaluates the parameters and fills the report from two rows of
// every field, as the engine does with a report file it is handed.
#include "printengine/datasource.h"
#include "printengine/fill.h"
#include "printengine/report.h"

#include <QGuiApplication>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

class TwoRows : public printengine::RowSource {
  public:
    explicit TwoRows(const std::vector<printengine::FieldDef>& fields) {
        for (const auto& f : fields) {
            try {
                row_.push_back(printengine::ConvertToClass(printengine::Value(std::string("12")),
                                                           f.valueClass, f.name));
            } catch (const printengine::SourceError&) {
                row_.push_back(engine::Null{});
            }
        }
    }
    bool Next(std::vector<printengine::Value>& row) override {
        if (left_-- <= 0) return false;
        row = row_;
        return true;
    }

  private:
    std::vector<printengine::Value> row_;
    int left_ = 2;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication app(*argc, *argv); // text measurement needs the font database
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto report = printengine::ParseJrxml(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!report) return 0;
    printengine::PrepareReport(*report);
    if (!report->refusals.empty()) return 0;
    try {
        const auto parameters = printengine::ParameterValues(*report, {});
        TwoRows rows(report->fields);
        // Subreports, lists and tables read two rows of their own fields.
        const printengine::TableOpener tables =
            [](const std::string&, const std::vector<printengine::FieldDef>& fields) {
                return std::make_unique<TwoRows>(fields);
            };
        int pages = 0;
        printengine::FillReport(
            *report, parameters, rows,
            [&](printengine::Page&&) {
                if (++pages > 50) throw printengine::FillError("enough pages");
            },
            nullptr, nullptr, &tables);
    } catch (const printengine::FillError&) {
    } catch (const printengine::SourceError&) {
    }
    return 0;
}
