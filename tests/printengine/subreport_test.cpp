#include "report_test_support.h"

#include "printengine/subreport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <utility>

using namespace printengine;
using namespace printengine::test;

namespace {

using Table = std::vector<std::vector<Value>>;

// Report files in a folder of their own, filled over named in-memory tables.
class SubreportTest : public ::testing::Test {
  protected:
    void Write(const QString& name, const std::string& text) {
        QFile f(dir_.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::fromStdString(text));
    }

    Report Master(const std::string& text) {
        auto report = ParseJrxml(QByteArray::fromStdString(text), dir_.path());
        if (!report) return Report{};
        PrepareReport(*report);
        return std::move(*report);
    }

    // The texts of every page, each page's items joined by "|".
    std::vector<std::string> Fill(const Report& r, const Table& rows) {
        TableOpener tables = [this](const std::string& table, const std::vector<FieldDef>&) {
            opened_.push_back(table);
            if (afterFirstOpen_) std::exchange(afterFirstOpen_, nullptr)();
            return std::make_unique<VectorRows>(tables_[table]);
        };
        VectorRows source(rows);
        std::vector<std::string> pages;
        FillReport(
            r, ParameterValues(r, {}), source,
            [&](Page&& page) {
                std::string text;
                for (const auto& item : page.items) {
                    if (item.text.isEmpty()) continue;
                    if (!text.empty()) text += "|";
                    text += item.text.toStdString();
                }
                pages.push_back(text);
            },
            nullptr, nullptr, &tables);
        return pages;
    }

    QTemporaryDir dir_;
    std::map<std::string, Table> tables_;
    std::vector<std::string> opened_;
    std::function<void()> afterFirstOpen_;
};

// A subreport listing the LINES rows of the order its parameter names.
const char* LinesReport = R"(<parameter name="Order" class="java.lang.Integer"/>
    <property name="norvakel.table" value="LINES"/>
    <field name="ORDER_ID" class="java.lang.Integer"/>
    <field name="ITEM" class="java.lang.String"/>
    <field name="QTY" class="java.lang.Integer"/>
    <filterExpression><![CDATA[$F{ORDER_ID}.equals($P{Order})]]></filterExpression>
    <variable name="Qty" class="java.lang.Integer" calculation="Sum">
        <variableExpression>$F{QTY}</variableExpression></variable>
    <title>)";

std::string Lines(int detailHeight = 10) {
    return Jrxml(std::string(LinesReport) + BandXml("\"lines of \" + $P{Order}") +
                 "</title><pageHeader>" + BandXml("\"sub page header\"") + "</pageHeader><detail>" +
                 BandXml("$F{ITEM} + \" x\" + $F{QTY}", detailHeight) + "</detail><pageFooter>" +
                 BandXml("\"sub page footer\"") + "</pageFooter><summary>" +
                 BandXml("\"qty \" + $V{Qty}") + "</summary>");
}

// A master over ORDERS whose detail band holds the subreport `file`.
std::string Orders(const std::string& file, const std::string& subreportChildren,
                   const std::string& more = "", int pageHeight = 400) {
    return Jrxml(R"(<field name="ORDER_ID" class="java.lang.Integer"/>)" + more +
                     R"(<detail><band height="30">
        <textField><reportElement x="0" y="0" width="100" height="10"/>
            <textFieldExpression>"order " + $F{ORDER_ID}</textFieldExpression></textField>
        <subreport><reportElement x="10" y="10" width="200" height="10"/>)" +
                     subreportChildren + "<subreportExpression><![CDATA[\"" + file +
                     R"("]]></subreportExpression></subreport>
        <textField><reportElement positionType="Float" x="0" y="20" width="100" height="10"/>
            <textFieldExpression>"end " + $F{ORDER_ID}</textFieldExpression></textField>
        </band></detail>)",
                 pageHeight);
}

const char* PassOrder = R"(<subreportParameter name="Order">
    <subreportParameterExpression>$F{ORDER_ID}</subreportParameterExpression></subreportParameter>)";

Table OrderRows(std::initializer_list<std::int64_t> ids) {
    Table t;
    for (auto id : ids)
        t.push_back({id});
    return t;
}

Table LineRows() {
    return {{std::int64_t{1}, std::string("bolt"), std::int64_t{4}},
            {std::int64_t{2}, std::string("nut"), std::int64_t{1}},
            {std::int64_t{1}, std::string("gear"), std::int64_t{2}},
            {std::int64_t{3}, std::string("cam"), std::int64_t{7}}};
}

} // namespace

TEST_F(SubreportTest, EachMasterRowGetsTheRowsItsParametersFilter) {
    Write("lines.jrxml", Lines());
    tables_["LINES"] = LineRows();
    const Report r = Master(Orders("lines.jrxml", PassOrder));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    // Read once per pass: the file spoiled after the first master row is not read again.
    afterFirstOpen_ = [this] { Write("lines.jrxml", "not a report"); };
    const auto pages = Fill(r, OrderRows({1, 2, 4}));
    ASSERT_EQ(pages.size(), 1u);
    // Title, details and summary inline; the subreport's page header and footer are not.
    EXPECT_EQ(pages[0], "order 1|end 1|lines of 1|bolt x4|gear x2|qty 6|"
                        "order 2|end 2|lines of 2|nut x1|qty 1|"
                        "order 4|end 4");
    // Parsed once, the table opened once per master row, by the subreport's name for it.
    EXPECT_EQ(opened_, (std::vector<std::string>{"LINES", "LINES", "LINES"}));
}

TEST_F(SubreportTest, SubreportStretchesItsBandAndMovesFloatingElementsDown) {
    Write("lines.jrxml", Lines());
    tables_["LINES"] = LineRows();
    const Report r = Master(Orders("lines.jrxml", PassOrder));
    TableOpener tables = [this](const std::string& t, const std::vector<FieldDef>&) {
        return std::make_unique<VectorRows>(tables_[t]);
    };
    VectorRows source(OrderRows({1, 3}));
    std::vector<Page> pages;
    FillReport(
        r, ParameterValues(r, {}), source, [&](Page&& p) { pages.push_back(std::move(p)); },
        nullptr, nullptr, &tables);
    ASSERT_EQ(pages.size(), 1u);
    std::map<std::string, QRectF> at;
    for (const auto& item : pages[0].items)
        if (!item.text.isEmpty()) at[item.text.toStdString()] = item.rect;
    // Order 1's subreport is 40 high (title, two rows, summary) at y 10 of the band.
    EXPECT_DOUBLE_EQ(at["lines of 1"].top(), 20 + 10);
    EXPECT_DOUBLE_EQ(at["lines of 1"].left(), 20 + 10 + 20); // margins of both reports
    EXPECT_DOUBLE_EQ(at["qty 6"].top(), 20 + 40);
    EXPECT_DOUBLE_EQ(at["end 1"].top(), 20 + 10 + 40);
    EXPECT_DOUBLE_EQ(at["order 3"].top(), 20 + 60);
}

TEST_F(SubreportTest, LongSubreportsBreakWithTheMastersPages) {
    Write("lines.jrxml", Lines());
    Table lines;
    for (int i = 0; i < 30; ++i)
        lines.push_back({std::int64_t{1}, "l" + std::to_string(i), std::int64_t{1}});
    tables_["LINES"] = lines;
    const Report r =
        Master(Orders("lines.jrxml", PassOrder,
                      "<pageHeader>" + BandXml("\"P\" + $V{PAGE_NUMBER}") + "</pageHeader>", 200));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    TableOpener tables = [this](const std::string& t, const std::vector<FieldDef>&) {
        return std::make_unique<VectorRows>(tables_[t]);
    };
    VectorRows source(OrderRows({1, 2}));
    // Where each text is: its page and its place on the page.
    std::map<std::string, std::pair<int, double>> at;
    int pages = 0;
    FillReport(
        r, ParameterValues(r, {}), source,
        [&](Page&& p) {
            ++pages;
            double top = 1e9;
            for (const auto& item : p.items) {
                at[item.text.toStdString()] = {pages, item.rect.top()};
                top = std::min(top, item.rect.top());
                // Nothing runs into the bottom margin.
                EXPECT_LE(item.rect.bottom(), 180 + 1e-6) << item.text.toStdString();
            }
            EXPECT_TRUE(at.count("P" + std::to_string(pages))) << pages;
            EXPECT_DOUBLE_EQ(at["P" + std::to_string(pages)].second, 20);
        },
        nullptr, nullptr, &tables);
    ASSERT_GE(pages, 3);
    const auto before = [&](const std::string& a, const std::string& b) {
        return at.at(a) < at.at(b);
    };
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(at.count("l" + std::to_string(i) + " x1")) << i;
    EXPECT_TRUE(before("l0 x1", "l29 x1"));
    EXPECT_TRUE(before("l29 x1", "qty 30"));
    EXPECT_TRUE(before("qty 30", "end 1"));
    EXPECT_TRUE(before("end 1", "order 2"));
    EXPECT_EQ(at.at("order 2").first, pages);
}

TEST_F(SubreportTest, ATitleHoldingALongSubreportGoesOnBeforeTheHeaders) {
    Write("lines.jrxml", Lines());
    Table lines;
    for (int i = 0; i < 30; ++i)
        lines.push_back({std::int64_t{1}, "l" + std::to_string(i), std::int64_t{1}});
    tables_["LINES"] = lines;
    const Report r = Master(Jrxml(R"(<parameter name="Order" class="java.lang.Integer">
        <defaultValueExpression>1</defaultValueExpression></parameter>
        <field name="ORDER_ID" class="java.lang.Integer"/>
        <title><band height="10"><subreport><reportElement x="0" y="0" width="200" height="10"/>
          <parametersMapExpression>$P{REPORT_PARAMETERS_MAP}</parametersMapExpression>
          <subreportExpression>"lines.jrxml"</subreportExpression></subreport></band></title>
        <pageHeader>)" + BandXml("\"P\" + $V{PAGE_NUMBER}") +
                                  "</pageHeader><detail>" + BandXml("\"row \" + $F{ORDER_ID}") +
                                  "</detail>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto pages = Fill(r, OrderRows({7}));
    ASSERT_GE(pages.size(), 2u);
    // The title's first part comes before the first page header, as a title does;
    // its rest follows the second page's header once.
    EXPECT_EQ(pages[0].rfind("lines of 1|l0 x1|", 0), 0u) << pages[0];
    EXPECT_EQ(pages[1].rfind("P2|l", 0), 0u) << pages[1];
    EXPECT_EQ(pages[1].find("P2", 1), std::string::npos) << pages[1];
    EXPECT_NE(pages.back().find("qty 30|row 7"), std::string::npos) << pages.back();
}

TEST_F(SubreportTest, ReturnValuesReachTheMastersVariables) {
    Write("lines.jrxml", Lines());
    tables_["LINES"] = LineRows();
    const std::string returns =
        std::string(PassOrder) +
        R"(<returnValue subreportVariable="Qty" toVariable="AllQty" calculation="Sum"/>
        <returnValue subreportVariable="REPORT_COUNT" toVariable="LastCount"/>)";
    const Report r = Master(Orders("lines.jrxml", returns,
                                   R"(
        <variable name="AllQty" class="java.lang.Integer" calculation="System"/>
        <variable name="LastCount" class="java.lang.Integer" calculation="System"/>
        <summary>)" + BandXml("\"all \" + $V{AllQty} + \" last \" + $V{LastCount}") +
                                       "</summary>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto pages = Fill(r, OrderRows({1, 2, 3}));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_NE(pages[0].find("all 14 last 1"), std::string::npos) << pages[0];
}

TEST_F(SubreportTest, ParametersMapPassesTheMastersParametersByName) {
    Write("echo.jrxml", Jrxml(R"(<parameter name="Who" class="java.lang.String"/><title>)" +
                              BandXml("\"hello \" + $P{Who}") + "</title>"));
    const Report r = Master(Orders("echo.jrxml",
                                   "<parametersMapExpression>$P{REPORT_PARAMETERS_MAP}"
                                   "</parametersMapExpression>",
                                   R"(<parameter name="Who" class="java.lang.String">
            <defaultValueExpression>"Ann"</defaultValueExpression></parameter>)"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    tables_[""] = {{}}; // one row: a report without rows prints nothing
    EXPECT_EQ(Fill(r, OrderRows({5})), std::vector<std::string>{"order 5|end 5|hello Ann"});
    EXPECT_EQ(opened_, std::vector<std::string>{""}); // the master's own table
}

TEST_F(SubreportTest, CompiledNamesReadTheDefinitionBesideThemInAnyCase) {
    Write("Fixed.JRXML",
          Jrxml("<detail>" + BandXml("\"fixed \" + $V{REPORT_COUNT}") + "</detail>"));
    const Report r =
        Master(Orders("fixed.jasper", "<dataSourceExpression>new net.sf.jasperreports.engine."
                                      "JREmptyDataSource(2)</dataSourceExpression>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    EXPECT_EQ(Fill(r, OrderRows({1})), std::vector<std::string>{"order 1|end 1|fixed 1|fixed 2"});
    EXPECT_TRUE(opened_.empty()); // an empty data source reads no table
    EXPECT_EQ(SubreportPath(dir_.path(), "sub/x.jasper"), dir_.filePath("sub/x.jrxml"));
}

TEST_F(SubreportTest, ASubreportThatIncludesItselfIsRefused) {
    const std::string empty =
        "<dataSourceExpression>new JREmptyDataSource()</dataSourceExpression>";
    Write("a.jrxml", Orders("b.jrxml", empty));
    Write("b.jrxml", Orders("a.jrxml", empty));
    Write("self.jrxml", Orders("self.jrxml", empty));
    for (const char* file : {"a.jrxml", "self.jrxml"}) {
        const Report r = Master(Orders(file, empty));
        ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
        try {
            Fill(r, OrderRows({1}));
            FAIL() << file;
        } catch (const FillError& e) {
            EXPECT_NE(std::string(e.what()).find("includes itself"), std::string::npos) << e.what();
        }
    }
    // Nesting without a cycle is bounded too.
    for (int i = 0; i < 12; ++i)
        Write(QString("n%1.jrxml").arg(i), Orders("n" + std::to_string(i + 1) + ".jrxml", empty));
    const Report deep = Master(Orders("n0.jrxml", empty));
    EXPECT_THROW(Fill(deep, OrderRows({1})), FillError);
}

TEST_F(SubreportTest, MissingOrRefusedSubreportsStopThePrintByName) {
    const Report missing = Master(Orders("none.jrxml", PassOrder));
    try {
        Fill(missing, OrderRows({1}));
        FAIL();
    } catch (const FillError& e) {
        EXPECT_NE(std::string(e.what()).find("none.jrxml"), std::string::npos) << e.what();
    }
    Write("bad.jrxml", Jrxml("<detail><band height='10'><chart/></band></detail>"));
    const Report bad = Master(Orders("bad.jrxml", PassOrder));
    tables_["LINES"] = LineRows();
    EXPECT_THROW(Fill(bad, OrderRows({1})), FillError);

    const Report refused =
        Master(Orders("lines.jrxml",
                      R"(<parametersMapExpression>new HashMap()</parametersMapExpression>
           <returnValue subreportVariable="Qty" toVariable="Nowhere"/>)"));
    ASSERT_EQ(refused.refusals.size(), 2u);
    EXPECT_NE(refused.refusals[0].find("parametersMapExpression"), std::string::npos);
    EXPECT_NE(refused.refusals[1].find("Nowhere"), std::string::npos);
}

TEST(SubreportValues, ReturnedValuesCombineByTheirCalculation) {
    EXPECT_EQ(CombineReturned(std::int64_t{4}, std::int64_t{3}, Calculation::Sum),
              Value(std::int64_t{7}));
    EXPECT_EQ(CombineReturned(Value(), std::int64_t{3}, Calculation::Sum), Value(std::int64_t{3}));
    EXPECT_EQ(CombineReturned(std::int64_t{4}, 0.5, Calculation::Sum), Value(4.5));
    EXPECT_EQ(CombineReturned(Value(), std::int64_t{3}, Calculation::Count),
              Value(std::int64_t{1}));
    EXPECT_EQ(CombineReturned(std::int64_t{2}, Value(), Calculation::Count),
              Value(std::int64_t{2}));
    EXPECT_EQ(CombineReturned(std::int64_t{4}, std::int64_t{3}, Calculation::Lowest),
              Value(std::int64_t{3}));
    EXPECT_EQ(CombineReturned(std::int64_t{4}, std::int64_t{3}, Calculation::Highest),
              Value(std::int64_t{4}));
    EXPECT_EQ(CombineReturned(std::int64_t{4}, std::int64_t{3}, Calculation::Nothing),
              Value(std::int64_t{3}));
}
