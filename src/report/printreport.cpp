#include "report/printreport.h"

#include "core/runstate.h"
#include "core/version.h"
#include "platform/platform.h"
#include "ui/windows.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <vector>

#ifndef NORVAKEL_INSTALL_LIBDIR
#define NORVAKEL_INSTALL_LIBDIR "/usr/local/lib/norvakel"
#endif

namespace report {

namespace {

// The engine's functions, looked up when the library is first needed.
struct EngineApi {
    decltype(&::PEOpenEngine) OpenEngine = nullptr;
    decltype(&::PEOpenPrintJob) OpenPrintJob = nullptr;
    decltype(&::PEHasSavedData) HasSavedData = nullptr;
    decltype(&::PEDiscardSavedData) DiscardSavedData = nullptr;
    decltype(&::PEGetNthTableLocation) GetNthTableLocation = nullptr;
    decltype(&::PESetNthTableLocation) SetNthTableLocation = nullptr;
    decltype(&::PESetFormula) SetFormula = nullptr;
    decltype(&::PEOutputToPrinter) OutputToPrinter = nullptr;
    decltype(&::PEOutputToWindow) OutputToWindow = nullptr;
    decltype(&::PEStartPrintJob) StartPrintJob = nullptr;
    decltype(&::PEGetWindowHandle) GetWindowHandle = nullptr;
    decltype(&::PEGetErrorText) GetErrorText = nullptr;
    decltype(&::PEGetHandleString) GetHandleString = nullptr;
    decltype(&::PEClosePrintJob) ClosePrintJob = nullptr;
    decltype(&::PECloseEngine) CloseEngine = nullptr;
};

// Print-job handle; 0 while no job is open.
std::int16_t PrintJob = 0;
// Set by the engine to 1 when the report carries saved data.
std::int16_t SavedDataFlag = 0;

template <typename F>
void Resolve(const platform::Library& library, F& function, const char* name) {
    function = reinterpret_cast<F>(platform::LibrarySymbol(library, name));
    // Like any other untrapped failure: the platform's own error box, exit 2.
    if (function == nullptr)
        throw core::RunTimeFailure{453,
                                   std::string("Specified library function not found: ") + name};
}

// Loads the engine on first use. A library that is missing or cannot be loaded
// is not one of the engine's result codes: nothing here traps it.
const EngineApi& Api() {
    static const EngineApi api = [] {
        platform::Library library = platform::LoadLibrary(
            ReportEngineLibrary, {platform::ProgramFolder(), NORVAKEL_INSTALL_LIBDIR});
        if (library.handle == nullptr) {
            if (library.notFound)
                throw core::RunTimeFailure{53,
                                           std::string("File not found: ") + ReportEngineLibrary};
            throw core::RunTimeFailure{48, "Error in loading library: " + library.error};
        }
        EngineApi a;
        Resolve(library, a.OpenEngine, "PEOpenEngine");
        Resolve(library, a.OpenPrintJob, "PEOpenPrintJob");
        Resolve(library, a.HasSavedData, "PEHasSavedData");
        Resolve(library, a.DiscardSavedData, "PEDiscardSavedData");
        Resolve(library, a.GetNthTableLocation, "PEGetNthTableLocation");
        Resolve(library, a.SetNthTableLocation, "PESetNthTableLocation");
        Resolve(library, a.SetFormula, "PESetFormula");
        Resolve(library, a.OutputToPrinter, "PEOutputToPrinter");
        Resolve(library, a.OutputToWindow, "PEOutputToWindow");
        Resolve(library, a.StartPrintJob, "PEStartPrintJob");
        Resolve(library, a.GetWindowHandle, "PEGetWindowHandle");
        Resolve(library, a.GetErrorText, "PEGetErrorText");
        Resolve(library, a.GetHandleString, "PEGetHandleString");
        Resolve(library, a.ClosePrintJob, "PEClosePrintJob");
        Resolve(library, a.CloseEngine, "PECloseEngine");
        return a; // the library stays loaded until the process ends
    }();
    return api;
}

// The screen's size in twips at its logical resolution.
std::pair<double, double> ScreenTwips() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return {640 * 15.0, 480 * 15.0};
    const double perPixel = 1440.0 / screen->logicalDotsPerInch();
    return {screen->size().width() * perPixel, screen->size().height() * perPixel};
}

void YieldToWindowSystem() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

PETableLocation TableLocationRecord(const std::string& path) {
    PETableLocation record;
    record.StructSize = PE_SIZEOF_TABLE_LOCATION;
    std::memset(record.Location, ' ', sizeof record.Location);
    const size_t n = std::min(path.size(), sizeof record.Location);
    std::memcpy(record.Location, path.data(), n);
    if (n < sizeof record.Location) record.Location[n] = '\0';
    return record;
}

std::int16_t PreviewExtent(double screenTwips) {
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(screenTwips * 0.75);
    std::fesetround(saved);
    return static_cast<std::int16_t>(std::clamp(rounded, -32768.0, 32767.0));
}

std::string OpenJobFailureText(const std::string& reportPath) {
    return "Error occurred in printing the report:\r\n\r\nThe possible causes are: \r\n"
           "- The report file " +
           reportPath +
           " is not reachable, or\r\n- The default printer is not defined, or\r\n"
           "- The report engine library is missing or damaged. ";
}

core::Outcome ShowReportEngineError() {
    std::uint32_t textHandle = 0;
    std::int16_t textLength = 0;
    Api().GetErrorText(PrintJob, &textHandle, &textLength);
    std::string buffer(static_cast<size_t>(std::max<std::int16_t>(textLength, 0)), ' ');
    Api().GetHandleString(textHandle, buffer.data(), textLength);
    return core::Outcome::Informed(buffer, std::string(core::AppTitle) + "(Report Error)");
}

void CloseReportEngine() {
    Api().ClosePrintJob(PrintJob);
    Api().CloseEngine();
}

core::Outcome PrintReport() {
    const core::RunState& run = core::Run();
    const core::ReportSpecRecord& request = run.ReportSpec;
    const std::string reportPath = request.Location + request.FileName;

    // 1. The report file, before the engine is loaded.
    const auto existing = platform::ResolveExistingPath(reportPath);
    if (!existing || !platform::IsOrdinaryFile(*existing)) {
        return core::Outcome::Informed("The report definition not found: " + reportPath);
    }

    // 2. The engine.
    const EngineApi& pe = Api();
    if (pe.OpenEngine() != 1) {
        return core::Outcome::Informed("Unable to load the report engine.");
    }

    // 3. The job.
    PrintJob = pe.OpenPrintJob(existing->c_str());
    if (PrintJob == 0) {
        return core::Outcome::Informed(OpenJobFailureText(reportPath));
    }

    // 4, 5. Saved data goes; failing to drop it matters only when there was some.
    if (pe.HasSavedData(PrintJob, &SavedDataFlag) != 1) return ShowReportEngineError();
    if (pe.DiscardSavedData(PrintJob) != 1 && SavedDataFlag == 1) return ShowReportEngineError();

    // 6. Table 0's stored location: read, not used, but a failure stops the run.
    PETableLocation location = TableLocationRecord({});
    location.StructSize = PE_SIZEOF_TABLE_LOCATION;
    if (pe.GetNthTableLocation(PrintJob, 0, &location) != 1) return ShowReportEngineError();

    // 7. Table 0 reads the export destination.
    if (!run.ExportTarget.FileName.empty()) {
        location = TableLocationRecord(run.ExportTarget.Location + run.ExportTarget.FileName);
        if (pe.SetNthTableLocation(PrintJob, 0, &location) != 1) return ShowReportEngineError();
    }

    // 8. Formulas; one that the engine rejects is left out.
    for (int i = 0; i < request.FormulaCount && i < core::MaxFormulas; ++i)
        pe.SetFormula(PrintJob, request.FormulaNames[size_t(i)].c_str(),
                      request.FormulaTexts[size_t(i)].c_str());

    // 9. Output.
    // Both calls are made whatever the first returns; the engine keeps the
    // first failure's text.
    if (request.OutputTo == 1) {
        const bool toPrinter = pe.OutputToPrinter(PrintJob, request.Copies) == 1;
        const bool printed = pe.StartPrintJob(PrintJob, std::int16_t(-1)) == 1;
        return toPrinter && printed ? core::Outcome::Success() : ShowReportEngineError();
    }
    const auto [screenWidth, screenHeight] = ScreenTwips();
    const bool toWindow =
        pe.OutputToWindow(PrintJob, request.Title.c_str(), 1, 1, PreviewExtent(screenWidth),
                          PreviewExtent(screenHeight), 0, 0) == 1;
    const bool started = pe.StartPrintJob(PrintJob, std::int16_t(-1)) == 1;
    if (!toWindow || !started) return ShowReportEngineError();
    ui::UnloadProgressWindow();
    while (pe.GetWindowHandle(PrintJob) != 0) {
        YieldToWindowSystem();
        platform::Sleep(50);
        YieldToWindowSystem();
    }
    return core::Outcome::Success();
}

} // namespace report
