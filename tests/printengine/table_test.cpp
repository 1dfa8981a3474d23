#include "report_test_support.h"

#include "printengine/dataset.h"
#include "printengine/subreport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <map>

using namespace printengine;
using namespace printengine::test;

namespace {

using Table = std::vector<std::vector<Value>>;

// ITEMS: category, item, quantity.
Table Items() {
    return {{std::string("tools"), std::string("saw"), std::int64_t{2}},
            {std::string("food"), std::string("bread"), std::int64_t{5}},
            {std::string("tools"), std::string("axe"), std::int64_t{1}},
            {std::string("tools"), std::string("file"), std::int64_t{4}}};
}

const char* Dataset = R"(<subDataset name="Items">
    <property name="norvakel.table" value="ITEMS"/>
    <parameter name="Cat" class="java.lang.String"/>
    <field name="CAT" class="java.lang.String"/>
    <field name="ITEM" class="java.lang.String"/>
    <field name="QTY" class="java.lang.Integer"/>
    <filterExpression>$F{CAT}.equals($P{Cat})</filterExpression>
    <variable name="Total" class="java.lang.Integer" calculation="Sum">
        <variableExpression>$F{QTY}</variableExpression></variable>
    <group name="Big"><groupExpression>$F{QTY} > 1</groupExpression></group>
  </subDataset>
  <field name="CAT" class="java.lang.String"/>)";

const char* ItemsRun = R"(<datasetRun subDataset="Items">
    <datasetParameter name="Cat"><datasetParameterExpression>$F{CAT}</datasetParameterExpression>
    </datasetParameter></datasetRun>)";

std::string Text(const std::string& expression, int width = 50, int height = 10) {
    return "<textField><reportElement x=\"0\" y=\"0\" width=\"" + std::to_string(width) +
           "\" height=\"" + std::to_string(height) + "\"/><textFieldExpression><![CDATA[" +
           expression + "]]></textFieldExpression></textField>";
}

std::string Component(const std::string& component, int width = 250) {
    return R"(<detail><band height="30">)" + Text("\"cat \" + $F{CAT}") +
           R"(<componentElement><reportElement x="10" y="10" width=")" + std::to_string(width) +
           R"(" height="20"/>)" + component + "</componentElement></band></detail>";
}

struct Filled {
    std::vector<std::string> texts; // every page's, in order
    std::map<std::string, QRectF> at;
};

Filled Fill(const Report& r, const Table& masterRows, int* opened = nullptr) {
    TableOpener tables = [opened](const std::string& table, const std::vector<FieldDef>&) {
        if (opened) ++*opened;
        EXPECT_EQ(table, "ITEMS");
        return std::make_unique<VectorRows>(Items());
    };
    VectorRows source(masterRows);
    Filled out;
    FillReport(
        r, ParameterValues(r, {}), source,
        [&](Page&& page) {
            for (const auto& item : page.items) {
                if (item.text.isEmpty()) continue;
                out.texts.push_back(item.text.toStdString());
                out.at.emplace(item.text.toStdString(), item.rect); // the first one
            }
        },
        nullptr, nullptr, &tables);
    return out;
}

Table Cats(std::initializer_list<const char*> cats) {
    Table t;
    for (auto c : cats)
        t.push_back({std::string(c)});
    return t;
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string s;
    for (const auto& t : texts)
        s += (s.empty() ? "" : "|") + t;
    return s;
}

} // namespace

TEST(Table, ColumnsLaidOutAsRowsOfCellsPerMasterRow) {
    const std::string table =
        std::string(
            R"(<jr:table xmlns:jr="http://jasperreports.sourceforge.net/jasperreports/components">)") +
        ItemsRun + R"(<jr:columnGroup width="150">
          <jr:tableHeader height="10">)" +
        Text("\"items of \" + $P{Cat}", 150) +
        R"(</jr:tableHeader>
          <jr:column width="100">
            <jr:columnHeader height="10"><staticText><reportElement x="0" y="0" width="100" height="10"/>
              <text>Item</text></staticText></jr:columnHeader>
            <jr:columnFooter height="10"><staticText><reportElement x="0" y="0" width="100" height="10"/>
              <text>Total</text></staticText></jr:columnFooter>
            <jr:groupHeader groupName="Big"><jr:cell height="10">)" +
        Text("$F{QTY} > 1 ? \"big\" : \"small\"") + R"(</jr:cell></jr:groupHeader>
            <jr:detailCell height="10">)" +
        Text("$F{ITEM}") + R"(</jr:detailCell>
          </jr:column>
          <jr:column width="50">
            <jr:columnHeader height="10"><staticText><reportElement x="0" y="0" width="50" height="10"/>
              <text>Qty</text></staticText></jr:columnHeader>
            <jr:columnFooter height="10">)" +
        Text("\"sum \" + $V{Total}") + R"(</jr:columnFooter>
            <jr:detailCell height="10">)" +
        Text("\"qty \" + $F{QTY}") + R"(</jr:detailCell>
          </jr:column>
        </jr:columnGroup></jr:table>)";
    const Report r = ParsePrepared(Jrxml(std::string(Dataset) + Component(table), 400));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    int opened = 0;
    const Filled f = Fill(r, Cats({"tools", "food"}), &opened);
    EXPECT_EQ(Joined(f.texts), "cat tools|items of tools|Item|Qty|big|saw|qty 2|small|axe|qty 1|"
                               "big|file|qty 4|Total|sum 7|"
                               "cat food|items of food|Item|Qty|big|bread|qty 5|Total|sum 5");
    EXPECT_EQ(opened, 2);
    // Cells side by side from the element's place; rows one under the other.
    EXPECT_DOUBLE_EQ(f.at.at("Item").left(), 20 + 10);
    EXPECT_DOUBLE_EQ(f.at.at("Qty").left(), 20 + 10 + 100);
    EXPECT_DOUBLE_EQ(f.at.at("items of tools").top(), 20 + 10);
    EXPECT_DOUBLE_EQ(f.at.at("Item").top(), 20 + 20);
    EXPECT_DOUBLE_EQ(f.at.at("saw").top(), 20 + 40);
    EXPECT_DOUBLE_EQ(f.at.at("sum 7").top(), 20 + 10 + 20 + 3 * 20);
}

TEST(Table, UnknownDatasetsAndCellsAreRefused) {
    const Report r = ParsePrepared(Jrxml(std::string(Dataset) + Component(R"(
        <jr:table xmlns:jr="http://jasperreports.sourceforge.net/jasperreports/components">
        <datasetRun subDataset="Nope"/><jr:column width="10">
          <jr:detailCell height="10"><chart/></jr:detailCell><jr:bogus/></jr:column></jr:table>)")));
    ASSERT_FALSE(r.refusals.empty());
    std::string all;
    for (const auto& x : r.refusals)
        all += x + "\n";
    EXPECT_NE(all.find("Nope"), std::string::npos) << all;
    EXPECT_NE(all.find("bogus"), std::string::npos) << all;
}

TEST(List, ContentsRepeatPerRowDownOrAcross) {
    const std::string contents = R"(<jr:listContents height="10" width="100">)" +
                                 Text("$V{REPORT_COUNT} + \" \" + $F{ITEM}", 100) +
                                 "</jr:listContents>";
    const std::string open =
        R"(<jr:list xmlns:jr="http://jasperreports.sourceforge.net/jasperreports/components" )";
    const Report down = ParsePrepared(Jrxml(
        std::string(Dataset) + Component(open + ">" + ItemsRun + contents + "</jr:list>"), 400));
    ASSERT_TRUE(down.refusals.empty()) << down.refusals.front();
    Filled f = Fill(down, Cats({"tools", "food"}));
    EXPECT_EQ(Joined(f.texts), "cat tools|1 saw|2 axe|3 file|cat food|1 bread");
    EXPECT_DOUBLE_EQ(f.at.at("3 file").top(), 20 + 10 + 20);
    EXPECT_DOUBLE_EQ(f.at.at("cat food").top(), 20 + 10 + 30);

    const Report across =
        ParsePrepared(Jrxml(std::string(Dataset) + Component(open + "printOrder=\"Horizontal\">" +
                                                             ItemsRun + contents + "</jr:list>"),
                            400));
    ASSERT_TRUE(across.refusals.empty()) << across.refusals.front();
    f = Fill(across, Cats({"tools", "food"}));
    // Two cells of 100 fit the element's 250: the third starts a second row.
    EXPECT_DOUBLE_EQ(f.at.at("1 saw").left(), 20 + 10);
    EXPECT_DOUBLE_EQ(f.at.at("2 axe").left(), 20 + 10 + 100);
    EXPECT_DOUBLE_EQ(f.at.at("2 axe").top(), 20 + 10);
    EXPECT_DOUBLE_EQ(f.at.at("3 file").left(), 20 + 10);
    EXPECT_DOUBLE_EQ(f.at.at("3 file").top(), 20 + 20);
    EXPECT_DOUBLE_EQ(f.at.at("cat food").top(), 20 + 10 + 20);
}

TEST(Dataset, RunCallsBackPerRowWithVariablesAndGroups) {
    Report r = ParsePrepared(Jrxml(std::string(Dataset) + "<detail/>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    ASSERT_EQ(r.datasets.size(), 1u);
    Report& items = *r.datasets.front();
    // An element of another kind binds its own expressions to the dataset.
    Expression label = Expression::Parse("$F{ITEM} + \"=\" + $V{Total} + \"/\" + $V{Big_COUNT}");
    BindToDataset(items, label);
    ASSERT_TRUE(items.refusals.empty()) << items.refusals.front();

    DatasetRunDef run;
    run.dataset = r.datasets.front();
    run.parameters.push_back({"Cat", Expression::Parse("\"tools\"")});
    FillState master;
    std::vector<std::string> seen;
    FillState final;
    RunDataset(
        r, master, run, [](const Expression& e) { return EvaluateIn(e, FillState{}); },
        [](const std::string&, const std::vector<FieldDef>&) {
            return std::make_unique<VectorRows>(Items());
        },
        [&](const FillState& s) { seen.push_back(JavaText(EvaluateIn(label, s))); }, &final);
    EXPECT_EQ(seen, (std::vector<std::string>{"saw=2/1", "axe=3/1", "file=7/1"}));
    EXPECT_EQ(EvaluateIn(Expression(label), final), Value(std::string("file=7/1")));
}

// The fuzzer's seed for components must reach the filler and fill.
TEST(Table, FuzzSeedFillsItsTableAndList) {
    const std::string path =
        std::string(NORVAKEL_TESTS_DIR) + "/fuzz/corpus/jrxml/components.jrxml";
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path;
    auto r = ParseJrxml(file.readAll());
    ASSERT_TRUE(r);
    PrepareReport(*r);
    ASSERT_TRUE(r->refusals.empty()) << RefusalText(r->refusals);
    TableOpener tables = [](const std::string&, const std::vector<FieldDef>&) {
        return std::make_unique<VectorRows>(
            Table{{std::string("a"), std::int64_t{3}}, {std::string("b"), std::int64_t{4}}});
    };
    VectorRows rows({{std::string("a")}});
    std::string text;
    FillReport(
        *r, ParameterValues(*r, {}), rows,
        [&](Page&& page) {
            for (const auto& item : page.items)
                if (!item.text.isEmpty()) text += item.text.toStdString() + "|";
        },
        nullptr, nullptr, &tables);
    EXPECT_EQ(text, "T|Qty|3|3|3|1|2|3|");
}
