#include "engine/driver.h"
#include "engine/engine.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

struct OpenCall {
    std::string path, connectName;
    bool exclusive = false, readOnly = true;
    int count = 0;
};

// Stands in for a format driver; remembers how the engine called it.
class RecordingDriver : public Driver {
  public:
    RecordingDriver(std::vector<std::string> names, OpenCall* call)
        : names_(std::move(names)), call_(call) {}
    std::vector<std::string> ConnectNames() const override { return names_; }
    Kind DatabaseKind() const override { return Kind::Folder; }
    std::unique_ptr<Database> Open(const std::string& path, bool exclusive, bool readOnly,
                                   const std::string& connectName) override {
        *call_ = OpenCall{path, connectName, exclusive, readOnly, call_->count + 1};
        return nullptr;
    }

  private:
    std::vector<std::string> names_;
    OpenCall* call_;
};

TEST(Drivers, ChosenByTheNameBeforeTheFirstSemicolonInAnyCase) {
    static OpenCall call;
    RegisterDriver(std::make_unique<RecordingDriver>(
        std::vector<std::string>{"Test Format 1.X", "Test Format 2.X"}, &call));

    Driver* driver = FindDriver("Test Format 2.X;");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(FindDriver("test format 1.x;PWD=secret"), driver);
    EXPECT_EQ(FindDriver("TEST FORMAT 1.X"), driver);
    EXPECT_EQ(FindDriver("Test Format 3.X;"), nullptr);
    EXPECT_EQ(FindDriver("Test Format;"), nullptr);

    Engine().Workspaces(0).OpenDatabase("/data/OUT", true, false, "TEST FORMAT 1.X;");
    EXPECT_EQ(call.count, 1);
    EXPECT_EQ(call.path, "/data/OUT");
    EXPECT_EQ(call.connectName, "TEST FORMAT 1.X");
    EXPECT_TRUE(call.exclusive);
    EXPECT_FALSE(call.readOnly);
}

TEST(Drivers, EmptyConnectStringMeansTheNativeFormat) {
    Driver* native = FindDriver("");
    ASSERT_NE(native, nullptr);
    EXPECT_EQ(FindDriver(";"), native);
    EXPECT_EQ(native->DatabaseKind(), Driver::Kind::File);
    EXPECT_EQ(FindDriver("Btrieve;"), nullptr);
}

TEST(Drivers, ALaterRegistrationOfANameWins) {
    static OpenCall first, second;
    RegisterDriver(std::make_unique<RecordingDriver>(std::vector<std::string>{"Twice"}, &first));
    RegisterDriver(std::make_unique<RecordingDriver>(std::vector<std::string>{"Twice"}, &second));
    Engine().Workspaces(0).OpenDatabase("/x", false, true, "Twice;");
    EXPECT_EQ(first.count, 0);
    EXPECT_EQ(second.count, 1);
}

TEST(EngineObject, IsCreatedOnceAndKept) {
    EXPECT_EQ(&Engine(), &Engine());
    EXPECT_EQ(&Engine().Workspaces(0), &Engine().Workspaces(0));
}

} // namespace
} // namespace engine
