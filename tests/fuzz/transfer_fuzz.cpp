// The transfer-file reader: line splitting, decoding, the header grammar and
// the data rules, with the rows going to a recorder instead of a database.
#include "app/transfer.h"
#include "core/runstate.h"
#include "engine/engine.h"
#include "fuzz_support.h"
#include "platform/platform.h"

#include <cstdio>

namespace {

class RecordingRecordset final : public engine::Recordset {
  public:
    explicit RecordingRecordset(std::vector<engine::Field> fields)
        : engine::Recordset(std::move(fields)) {}
    bool Eof() override { return true; }
    void MoveFirst() override {}
    void MoveNext() override {}
    engine::Value GetValue(int) override { return engine::Null{}; }
    void Close() override {}
    size_t records = 0;

  protected:
    void InsertRecord(const std::vector<engine::Value>& values) override {
        FUZZ_CHECK(static_cast<int>(values.size()) == FieldCount());
        ++records;
    }
};

void CheckLine(const std::string& line) {
    // Every line the reader hands out is UTF-8 without its line end.
    FUZZ_CHECK(platform::IsValidUtf8(line));
    FUZZ_CHECK(line.find('\r') == std::string::npos);
    std::string name;
    std::int16_t type = 0, size = 0;
    if (app::ParseHeaderLine(line, name, type, size)) {
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(!(type == engine::dbText && size >= 256));
    }
    (void)app::IsNumeric(line);
    (void)app::LeadingNumber(line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputFile input(data, size);
    app::TransferFile file;
    int error = 0;
    FUZZ_CHECK(file.Open(input.Path(), error));
    core::Run().FieldCount = 0;

    std::string line;
    if (!file.ReadLine(line)) return 0;
    CheckLine(line);
    if (!app::IsMarkerLine(line, app::HeadMarker)) {
        while (file.ReadLine(line))
            CheckLine(line);
        return 0;
    }
    engine::TableDef def("UNTITLED");
    std::string badLine;
    try {
        if (!app::LoadHeader(file, def, badLine)) {
            CheckLine(badLine);
            return 0;
        }
    } catch (const engine::EngineError&) {
        return 0; // the engine refused a field: the run ends with its error
    }
    FUZZ_CHECK(core::Run().FieldCount == def.FieldCount());

    std::optional<std::string> first;
    if (file.ReadLine(line)) first = line;
    if (first && app::IsHostErrorLine(*first)) return 0;
    RecordingRecordset records(def.AllFields());
    try {
        app::LoadData(file, records, first);
    } catch (const engine::EngineError&) {
        return 0; // a value the engine cannot store
    }
    return 0;
}
