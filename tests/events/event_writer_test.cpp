// The one writer of the unattended event stream, as the program and the
// report engine use it. The stream is read by scripts byte for byte.
#include "events/event_writer.h"
#include "printengine/events.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

[[maybe_unused]] const bool UnattendedForTests = [] {
    ::setenv("NORVAKEL_UNATTENDED", "1", 1);
    return true;
}();

template <typename Write> std::string StreamDuring(Write write) {
    testing::internal::CaptureStderr();
    write();
    return testing::internal::GetCapturedStderr();
}

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
    using events::JsonString;
    EXPECT_EQ(JsonString(""), "\"\"");
    EXPECT_EQ(JsonString("say \"hi\" C:\\dir"), "\"say \\\"hi\\\" C:\\\\dir\"");
    // The messages' CR LF pairs and the other short escapes JSON has.
    EXPECT_EQ(JsonString("a\r\nb\tc\bd\fe"), "\"a\\r\\nb\\tc\\bd\\fe\"");
    EXPECT_EQ(JsonString(std::string("\x01\x1f\x0b", 3)), "\"\\u0001\\u001f\\u000b\"");
    EXPECT_EQ(JsonString(std::string("nul\0end", 7)), "\"nul\\u0000end\"");
    // Everything else passes unchanged: UTF-8, DEL, "/".
    EXPECT_EQ(JsonString("Müller \x7f a/b"), "\"Müller \x7f a/b\"");
}

TEST(JsonString, ArraysJoinTheirStringsWithCommas) {
    EXPECT_EQ(events::JsonStringArray({}), "[]");
    EXPECT_EQ(events::JsonStringArray({"A", "B\""}), "[\"A\",\"B\\\"\"]");
}

TEST(EventStream, OneLinePerEventFlushedAtOnce) {
    ASSERT_TRUE(events::Unattended());
    EXPECT_EQ(StreamDuring([] {
                  events::Emit("{\"event\":\"exit\",\"code\":0}");
                  events::Emit("{}");
              }),
              "{\"event\":\"exit\",\"code\":0}\n{}\n");
}

TEST(EventStream, TheReportEngineEscapesAsTheProgramDoes) {
    const std::string title = "Sales\r\n\"North\"\t\x01";
    EXPECT_EQ(StreamDuring([&] { printengine::EmitPreviewEvent("shown", title, 3); }),
              "{\"event\":\"window\",\"name\":\"Preview\",\"state\":\"shown\",\"title\":" +
                  events::JsonString(title) + ",\"pages\":3}\n");
    EXPECT_EQ(StreamDuring([&] { printengine::EmitPreviewEvent("closed", title, 3); }),
              "{\"event\":\"window\",\"name\":\"Preview\",\"state\":\"closed\"}\n");
    EXPECT_EQ(StreamDuring([] { printengine::EmitPrintEvent("/tmp/a\\b.pdf", 2, 5); }),
              "{\"event\":\"print\",\"printer\":\"/tmp/a\\\\b.pdf\",\"copies\":2,\"pages\":5}\n");
}

} // namespace
