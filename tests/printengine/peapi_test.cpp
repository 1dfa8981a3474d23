#include "printengine/peapi.h"
#include "report_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unistd.h>

using printengine::test::BandXml;
using printengine::test::Jrxml;

namespace {

std::string ErrorText(std::int16_t job) {
    std::uint32_t handle = 0;
    std::int16_t length = -1;
    PEGetErrorText(job, &handle, &length);
    std::string text(size_t(std::max<std::int16_t>(length, 0)), ' ');
    EXPECT_EQ(PEGetHandleString(handle, text.data(), length), 1);
    // A handle is read once.
    char spare[4];
    EXPECT_EQ(PEGetHandleString(handle, spare, 4), 0);
    return text;
}

PETableLocation Record(const std::string& text) {
    PETableLocation r;
    r.StructSize = PE_SIZEOF_TABLE_LOCATION;
    std::memset(r.Location, ' ', sizeof r.Location);
    std::memcpy(r.Location, text.data(), std::min(text.size(), sizeof r.Location));
    if (text.size() < sizeof r.Location) r.Location[text.size()] = '\0';
    return r;
}

class Api : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/nv-peapi-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_EQ(PEOpenEngine(), 1);
    }
    void TearDown() override {
        PECloseEngine();
        unsetenv("NORVAKEL_PDF_PRINTER");
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string WriteFile(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // A one-field report over a text table holding `rows` lines.
    std::int16_t OpenListJob(const std::string& extra = "") {
        std::string table = "\"NAME\"\r\n";
        for (int i = 0; i < 3; ++i)
            table += "\"row" + std::to_string(i) + "\"\r\n";
        const std::string tablePath = WriteFile("T.TXT", table);
        const std::string report = WriteFile(
            "r.jrxml",
            Jrxml("<property name='norvakel.location' value='" + tablePath + "'/>" +
                  "<parameter name='Title' class='java.lang.String'><defaultValueExpression>"
                  "\"plain\"</defaultValueExpression></parameter>"
                  "<field name='NAME' class='java.lang.String'/>" +
                  extra + "<title>" + BandXml("$P{Title}") + "</title><detail>" +
                  BandXml("$F{NAME}") + "</detail>"));
        return PEOpenPrintJob(report.c_str());
    }
    std::string dir_;
};

} // namespace

TEST_F(Api, JobsOpenOnlyOnReportFiles) {
    EXPECT_EQ(PEOpenPrintJob((dir_ + "/missing.jrxml").c_str()), 0);
    EXPECT_EQ(PEOpenPrintJob(WriteFile("x.jrxml", "not xml").c_str()), 0);
    EXPECT_EQ(PEOpenPrintJob(nullptr), 0);
    const std::int16_t a = OpenListJob();
    const std::int16_t b = OpenListJob();
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
    EXPECT_NE(a, b);
    PECloseEngine();
    EXPECT_EQ(PEOpenPrintJob(WriteFile("y.jrxml", Jrxml("")).c_str()), 0); // engine closed
}

TEST_F(Api, SavedDataNeverExists) {
    const std::int16_t job = OpenListJob();
    std::int16_t flag = 7;
    EXPECT_EQ(PEHasSavedData(job, &flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(PEDiscardSavedData(job), 1);
    EXPECT_EQ(PEHasSavedData(999, &flag), 0);
    EXPECT_EQ(PEDiscardSavedData(999), 0);
    EXPECT_EQ(ErrorText(999), "The print job handle is not valid.");
}

TEST_F(Api, TableLocationRecord) {
    const std::int16_t job = OpenListJob();
    PETableLocation r = Record("");
    ASSERT_EQ(PEGetNthTableLocation(job, 0, &r), 1);
    const std::string stored = dir_ + "/T.TXT";
    EXPECT_EQ(std::string(r.Location), stored);
    for (size_t i = stored.size() + 1; i < sizeof r.Location; ++i)
        ASSERT_EQ(r.Location[i], ' ') << i;

    r.StructSize = 100;
    EXPECT_EQ(PEGetNthTableLocation(job, 0, &r), 0);
    EXPECT_EQ(ErrorText(job), "The table location record is not valid.");
    r = Record("");
    EXPECT_EQ(PEGetNthTableLocation(job, 1, &r), 0);

    // 255 bytes fit with the terminator; 256 do not.
    const std::string longest(255, 'x');
    r = Record(longest);
    EXPECT_EQ(PESetNthTableLocation(job, 0, &r), 1);
    ASSERT_EQ(PEGetNthTableLocation(job, 0, &r), 1);
    EXPECT_EQ(std::string(r.Location), longest);
    r = Record(std::string(256, 'y'));
    EXPECT_EQ(PESetNthTableLocation(job, 0, &r), 0);
    EXPECT_EQ(ErrorText(job), "The table location is longer than 255 characters.");
}

TEST_F(Api, FormulasSetParametersOrAreRefused) {
    const std::int16_t job = OpenListJob();
    EXPECT_EQ(PESetFormula(job, "Nope", "1"), 0);
    EXPECT_EQ(PESetFormula(job, "Title", "\"open"), 0);
    EXPECT_EQ(PESetFormula(job, "Title", "$F{NAME}"), 0);
    EXPECT_EQ(PESetFormula(job, "title", "\"Quarter \" + 1"), 1); // names match any case
    const std::string pdf = dir_ + "/out.pdf";
    setenv("NORVAKEL_PDF_PRINTER", pdf.c_str(), 1);
    ASSERT_EQ(PEOutputToPrinter(job, 1), 1);
    ASSERT_EQ(PEStartPrintJob(job, -1), 1) << ErrorText(job);
    std::ifstream in(pdf, std::ios::binary);
    std::string head(4, '\0');
    in.read(head.data(), 4);
    EXPECT_EQ(head, "%PDF");
}

TEST_F(Api, StartRefusesWhatTheReportCannotDo) {
    const std::int16_t job =
        OpenListJob("<subDataset name='s'><scriptlet name='x' class='y'/></subDataset>");
    ASSERT_GT(job, 0); // it opens: the refusal waits for the start
    setenv("NORVAKEL_PDF_PRINTER", (dir_ + "/never.pdf").c_str(), 1);
    ASSERT_EQ(PEOutputToPrinter(job, 1), 1);
    EXPECT_EQ(PEStartPrintJob(job, -1), 0);
    EXPECT_NE(ErrorText(job).find("\"scriptlet\" in \"subDataset\""), std::string::npos);
    EXPECT_NE(access((dir_ + "/never.pdf").c_str(), F_OK), 0);
}

TEST_F(Api, StartNeedsAnOutputAndAReadableTable) {
    std::int16_t job = OpenListJob();
    EXPECT_EQ(PEStartPrintJob(job, -1), 0);
    EXPECT_EQ(ErrorText(job), "No output was chosen for the print job.");
    PETableLocation r = Record(dir_ + "/GONE.TXT");
    ASSERT_EQ(PESetNthTableLocation(job, 0, &r), 1);
    setenv("NORVAKEL_PDF_PRINTER", (dir_ + "/x.pdf").c_str(), 1);
    ASSERT_EQ(PEOutputToPrinter(job, 2), 1);
    EXPECT_EQ(PEStartPrintJob(job, -1), 0);
    EXPECT_NE(ErrorText(job).find("GONE.TXT"), std::string::npos);
    EXPECT_EQ(PEOutputToPrinter(job, 0), 0);
    EXPECT_EQ(PEOutputToPrinter(job, -3), 0);
    // Starting after a refused output fails and keeps the output's own text.
    EXPECT_EQ(PEStartPrintJob(job, -1), 0);
    EXPECT_EQ(ErrorText(job), "The number of copies (-3) must be at least 1.");
}

TEST_F(Api, PreviewWindowLivesUntilClosed) {
    const std::int16_t job = OpenListJob();
    EXPECT_EQ(PEGetWindowHandle(job), 0);
    ASSERT_EQ(PEOutputToWindow(job, "Preview title", 1, 1, 9000, 6000, 0, 0), 1);
    ASSERT_EQ(PEStartPrintJob(job, -1), 1) << ErrorText(job);
    EXPECT_NE(PEGetWindowHandle(job), 0);
    EXPECT_EQ(PEClosePrintJob(job), 1);
    EXPECT_EQ(PEGetWindowHandle(job), 0);
    EXPECT_EQ(PEClosePrintJob(job), 0);
}
