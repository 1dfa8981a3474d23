// How a run ends: the texts of its last messages, its exit status, and the
// outcome a step hands back to the script.
#include "core/ending.h"
#include "core/outcome.h"
#include "core/runstate.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MessageText, LongTextsAreCutOnACharacterBoundary) {
    EXPECT_EQ(core::MessageText("short"), "short");
    const std::string exact(core::MaxMessageText, 'x');
    EXPECT_EQ(core::MessageText(exact), exact);
    // "é" is two bytes; the cut would fall between them.
    const std::string text = std::string(core::MaxMessageText - 1, 'x') + "é" + "tail";
    EXPECT_EQ(core::MessageText(text), std::string(core::MaxMessageText - 1, 'x') + "...");
}

TEST(EndingTexts, FatalAndRunTimeErrorForms) {
    EXPECT_EQ(core::FatalText("No data received from host."),
              "No data received from host.\r\nThe program will terminate.");
    const std::string cut = core::FatalText(std::string(core::MaxMessageText + 10, 'x'));
    EXPECT_EQ(cut, std::string(core::MaxMessageText, 'x') + "...\r\nThe program will terminate.");
    EXPECT_EQ(core::RunTimeErrorText(53, "File not found: libx.so"),
              "Run-time error '53':\r\n\r\nFile not found: libx.so");
}

TEST(EndingTexts, AnErrorShownMakesTheOrderlyEndAFailure) {
    const bool saved = core::Run().ErrorShown;
    core::Run().ErrorShown = false;
    EXPECT_EQ(core::OrderlyExitStatus(), 0);
    core::Run().ErrorShown = true;
    EXPECT_EQ(core::OrderlyExitStatus(), 1);
    core::Run().ErrorShown = saved;
    EXPECT_EQ(core::UntrappedExitStatus, 2);
}

TEST(Outcome, FailuresWriteTheirNumberAfterTheDescription) {
    const core::Outcome done = core::Outcome::Success("stored");
    EXPECT_TRUE(done.ok);
    EXPECT_EQ(done.Text(), "stored");

    const core::Outcome numbered = core::Outcome::Failure("Could not find file", 3024);
    EXPECT_FALSE(numbered.ok);
    EXPECT_EQ(numbered.Text(), "Could not find file(3024)");
    EXPECT_EQ(numbered.box, core::FailureBox::Fatal);

    EXPECT_EQ(core::Outcome::Failure("Unable to run the command: x").Text(),
              "Unable to run the command: x");
    // A zero is a number too: only a missing one is left out.
    EXPECT_EQ(core::Outcome::Failure("odd", 0).Text(), "odd(0)");

    const core::Outcome informed = core::Outcome::Informed("engine text", "Norvakel(Report Error)");
    EXPECT_FALSE(informed.ok);
    EXPECT_EQ(informed.box, core::FailureBox::Information);
    EXPECT_EQ(informed.caption, "Norvakel(Report Error)");
    EXPECT_EQ(informed.Text(), "engine text");
}

} // namespace
