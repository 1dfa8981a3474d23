// The exported print-engine calls. Jobs live in a table keyed by their 16-bit
// handle; texts handed out by PEGetErrorText live until PEGetHandleString
// reads them (or the engine closes).
#include "printengine/peapi.h"

#include "printengine/events.h"
#include "printengine/output.h"
#include "printengine/preview.h"
#include "printengine/report.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QPdfWriter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QScreen>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace printengine {

namespace {

constexpr qint64 MaxReportFileSize = 16 << 20;

enum class Output { None, Printer, Window };

struct Job {
    Report report;
    std::string location;
    std::vector<std::pair<std::string, Expression>> formulas;
    Output output = Output::None;
    bool outputRefused = false; // the last output call failed: its error text stands
    int copies = 1;
    QString title;
    int width = 0, height = 0; // twips
    std::unique_ptr<PreviewWindow> window;
    std::string error;
};

struct EngineState {
    bool open = false;
    std::map<std::int16_t, std::unique_ptr<Job>> jobs;
    std::int16_t lastJob = 0;
    std::map<std::uint32_t, std::string> texts;
    std::uint32_t lastText = 0;
    std::string error; // for calls that name no valid job
};

EngineState& Engine() {
    static EngineState state;
    return state;
}

Job* FindJob(std::int16_t handle) {
    auto& jobs = Engine().jobs;
    const auto it = jobs.find(handle);
    if (it == jobs.end()) {
        Engine().error =
            Engine().open ? "The print job handle is not valid." : "The report engine is not open.";
        return nullptr;
    }
    return it->second.get();
}

std::int16_t Fail(Job& job, const std::string& text) {
    job.error = text;
    return 0;
}

std::int16_t NewJobHandle() {
    EngineState& e = Engine();
    for (int tries = 0; tries < 32767; ++tries) {
        e.lastJob = e.lastJob >= 32767 ? 1 : std::int16_t(e.lastJob + 1);
        if (!e.jobs.count(e.lastJob)) return e.lastJob;
    }
    return 0;
}

std::optional<std::string> PdfPrinter() {
    const char* path = std::getenv("NORVAKEL_PDF_PRINTER");
    if (path == nullptr || *path == '\0') return std::nullopt;
    return std::string(path);
}

int ParameterIndex(const Report& r, const std::string& name) {
    for (size_t i = 0; i < r.parameters.size(); ++i)
        if (r.parameters[i].name == name) return int(i);
    for (size_t i = 0; i < r.parameters.size(); ++i)
        if (QString::fromStdString(r.parameters[i].name)
                .compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

Document MakeDocument(Job& job) {
    return TableDocument(job.report, ParameterValues(job.report, job.formulas), job.location);
}

// A line for the program's log (standard error), beside the unattended events.
void LogLine(const std::string& text) {
    const std::string line = "norvakel-report: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

int PixelsFromTwips(int twips, double dpi) {
    return int(twips * dpi / 1440.0 + 0.5);
}

std::int16_t Print(Job& job) {
    const Document doc = MakeDocument(job);
    if (auto pdf = PdfPrinter()) {
        QPdfWriter writer(QString::fromStdString(*pdf));
        SetUpPdfWriter(job.report, writer);
        const int pages = RenderDocument(doc, writer, job.copies, *pdf);
        EmitPrintEvent(*pdf, job.copies, pages);
        return 1;
    }
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) return Fail(job, "No default printer is installed.");
    QPrinter printer(info, QPrinter::HighResolution);
    printer.setCopyCount(job.copies);
    printer.setDocName(QString::fromStdString(job.report.name));
    SetReportPage(job.report, printer);
    const int pages = RenderDocument(doc, printer, 1, info.printerName().toStdString());
    EmitPrintEvent(info.printerName().toStdString(), job.copies, pages);
    return 1;
}

std::int16_t Preview(Job& job) {
    auto pages = std::make_unique<PageSource>(MakeDocument(job));
    job.window = std::make_unique<PreviewWindow>(std::move(pages), job.title);
    QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
    const QSize size(std::max(200, PixelsFromTwips(job.width, dpi)),
                     std::max(150, PixelsFromTwips(job.height, dpi)));
    job.window->resize(size);
    if (screen != nullptr) {
        // Centred: the position passed in is a plain (1, 1), not a place on screen.
        const QRect area = screen->availableGeometry();
        job.window->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
    }
    job.window->show();
    job.window->raise();
    job.window->activateWindow();
    return 1;
}

} // namespace

} // namespace printengine

using namespace printengine;

extern "C" {

__attribute__((visibility("default"))) std::int16_t PEOpenEngine() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        Engine().error = "The report engine needs the program's window system.";
        return 0;
    }
    Engine().open = true;
    return 1;
}

__attribute__((visibility("default"))) std::int16_t PEOpenPrintJob(const char* reportPath) {
    EngineState& e = Engine();
    if (!e.open || reportPath == nullptr) return 0;
    QFile file(QString::fromUtf8(reportPath));
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxReportFileSize) return 0;
    const QByteArray bytes = file.read(MaxReportFileSize);
    auto report = ParseJrxml(bytes, QFileInfo(file).absolutePath());
    if (!report) return 0;
    const std::int16_t handle = NewJobHandle();
    if (handle == 0) return 0;
    auto job = std::make_unique<Job>();
    job->report = std::move(*report);
    PrepareReport(job->report);
    job->location = job->report.tableLocation;
    e.jobs[handle] = std::move(job);
    return handle;
}

__attribute__((visibility("default"))) std::int16_t PEHasSavedData(std::int16_t handle,
                                                                   std::int16_t* hasSavedData) {
    Job* job = FindJob(handle);
    if (job == nullptr) return 0;
    if (hasSavedData == nullptr) return Fail(*job, "No place for the saved-data flag was given.");
    *hasSavedData = 0; // report definitions here never carry data
    return 1;
}

__attribute__((visibility("default"))) std::int16_t PEDiscardSavedData(std::int16_t handle) {
    return FindJob(handle) != nullptr ? 1 : 0;
}

__attribute__((visibility("default"))) std::int16_t
PEGetNthTableLocation(std::int16_t handle, std::int16_t table, PETableLocation* location) {
    Job* job = FindJob(handle);
    if (job == nullptr) return 0;
    if (location == nullptr || location->StructSize != PE_SIZEOF_TABLE_LOCATION)
        return Fail(*job, "The table location record is not valid.");
    if (table != 0) return Fail(*job, "The report has no table " + std::to_string(table) + ".");
    std::memset(location->Location, ' ', sizeof location->Location);
    const size_t n = std::min(job->location.size(), sizeof location->Location - 1);
    std::memcpy(location->Location, job->location.data(), n);
    location->Location[n] = '\0';
    return 1;
}

__attribute__((visibility("default"))) std::int16_t
PESetNthTableLocation(std::int16_t handle, std::int16_t table, const PETableLocation* location) {
    Job* job = FindJob(handle);
    if (job == nullptr) return 0;
    if (location == nullptr || location->StructSize != PE_SIZEOF_TABLE_LOCATION)
        return Fail(*job, "The table location record is not valid.");
    if (table != 0) return Fail(*job, "The report has no table " + std::to_string(table) + ".");
    const void* end = std::memchr(location->Location, '\0', sizeof location->Location);
    if (end == nullptr) return Fail(*job, "The table location is longer than 255 characters.");
    job->location.assign(location->Location, static_cast<const char*>(end));
    return 1;
}

__attribute__((visibility("default"))) std::int16_t
PESetFormula(std::int16_t handle, const char* name, const char* text) {
    Job* job = FindJob(handle);
    if (job == nullptr) return 0;
    if (name == nullptr || text == nullptr) return Fail(*job, "A formula needs a name and a text.");
    const int index = ParameterIndex(job->report, name);
    if (index < 0) return Fail(*job, std::string("The report has no parameter ") + name + ".");
    Expression e;
    try {
        e = Expression::Parse(text);
    } catch (const ExpressionError& x) {
        return Fail(*job, x.what());
    }
    // A formula is evaluated before any row is read: it may only use parameters.
    bool usable = true;
    e.ForEachReference([&](RefKind kind, const std::string& ref) {
        if (kind != RefKind::Parameter || ParameterIndex(job->report, ref) < 0) usable = false;
    });
    if (!usable) return Fail(*job, std::string("The formula for ") + name + " reads other values.");
    e.Bind([&](RefKind, const std::string& ref) { return ParameterIndex(job->report, ref); });
    const std::string& parameter = job->report.parameters[size_t(index)].name;
    std::erase_if(job->formulas, [&](const auto& f) { return f.first == parameter; });
    job->formulas.emplace_back(parameter, std::move(e));
    return 1;
}

__attribute__((visibility("default"))) std::int16_t PEOutputToPrinter(std::int16_t handle,
                                                                      std::int16_t copies) {
    Job* job = FindJob(handle);
    if (job == nullptr) return 0;
    job->output = Output::None;
    job->outputRefused = true;
    if (copies < 1)
        return Fail(*job,
                    "The number of copies (" + std::to_string(copies) + ") must be at least 1.");
    if (!PdfPrinter() && QPrinterInfo::defaultPrinter().isNull())
        return Fail(*job, "No default printer is installed.");
    job->outputRefused = false;
    job->output = Output::Printer;
    job->copies = copies;
    return 1;
}

__attribute__((visibility("default"))) std::int16_t
PEOutputToWindow(std::int16_t handle, const char* title, std::int32_t, std::int32_t,
                 std::int32_t width, std::int32_t height, std::uint32_t, std::int32_t) {
    Job* job = FindJob(handle);
    if (job == nullptr) return 0;
    job->output = Output::Window;
    job->outputRefused = false;
    job->title = QString::fromUtf8(title != nullptr ? title : "");
    job->width = width;
    job->height = height;
    return 1;
}

__attribute__((visibility("default"))) std::int16_t PEStartPrintJob(std::int16_t handle,
                                                                    std::int16_t) {
    Job* job = FindJob(handle);
    if (job == nullptr) return 0;
    if (!job->report.refusals.empty()) {
        // Every problem goes to the log, so that one pass over the file fixes all of them.
        for (const auto& refusal : job->report.refusals)
            LogLine(refusal);
        return Fail(*job, RefusalText(job->report.refusals));
    }
    try {
        switch (job->output) {
        case Output::Printer:
            return Print(*job);
        case Output::Window:
            return Preview(*job);
        case Output::None:
            if (job->outputRefused) return 0; // the output call's own error is the one to show
            break;
        }
        return Fail(*job, "No output was chosen for the print job.");
    } catch (const FillError& x) {
        return Fail(*job, x.what());
    } catch (const SourceError& x) {
        return Fail(*job, x.what());
    } catch (const std::exception& x) {
        return Fail(*job, std::string("The report could not be produced: ") + x.what());
    }
}

__attribute__((visibility("default"))) std::int16_t PEGetWindowHandle(std::int16_t handle) {
    const auto& jobs = Engine().jobs;
    const auto it = jobs.find(handle);
    if (it == jobs.end() || !it->second->window || !it->second->window->IsOpen()) return 0;
    const auto low = static_cast<std::int16_t>(it->second->window->winId() & 0xFFFF);
    return low != 0 ? low : std::int16_t{1};
}

__attribute__((visibility("default"))) std::int16_t
PEGetErrorText(std::int16_t handle, std::uint32_t* textHandle, std::int16_t* textLength) {
    EngineState& e = Engine();
    const auto it = e.jobs.find(handle);
    std::string text = it != e.jobs.end() ? it->second->error : e.error;
    if (text.empty()) text = "No error.";
    if (text.size() > 32767) text.resize(32767);
    e.lastText = e.lastText == UINT32_MAX ? 1 : e.lastText + 1;
    e.texts[e.lastText] = text;
    if (textHandle != nullptr) *textHandle = e.lastText;
    if (textLength != nullptr) *textLength = static_cast<std::int16_t>(text.size());
    return 1;
}

__attribute__((visibility("default"))) std::int16_t
PEGetHandleString(std::uint32_t textHandle, char* buffer, std::int16_t bufferLength) {
    auto& texts = Engine().texts;
    const auto it = texts.find(textHandle);
    if (it == texts.end() || buffer == nullptr || bufferLength < 0) return 0;
    std::memcpy(buffer, it->second.data(),
                std::min<size_t>(it->second.size(), size_t(bufferLength)));
    texts.erase(it);
    return 1;
}

__attribute__((visibility("default"))) std::int16_t PEClosePrintJob(std::int16_t handle) {
    return Engine().jobs.erase(handle) > 0 ? 1 : 0;
}

__attribute__((visibility("default"))) std::int16_t PECloseEngine() {
    EngineState& e = Engine();
    e.jobs.clear();
    e.texts.clear();
    e.open = false;
    return 1;
}

} // extern "C"
