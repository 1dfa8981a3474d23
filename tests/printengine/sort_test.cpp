#include "printengine/sortedsource.h"

#include "report_test_support.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace printengine;
using namespace printengine::test;

namespace {

const char* Fields = R"(<field name="NAME" class="java.lang.String"/>
    <field name="AMOUNT" class="java.lang.Double"/>
    <field name="DAY" class="java.util.Date"/>)";

Value Day(int d) {
    return engine::DateTime{2026, 3, d, 0, 0, 0};
}

std::vector<std::vector<Value>> Table() {
    const Value null = engine::Null{};
    return {{std::string("pear"), 3.0, Day(2)},
            {std::string("Apple"), null, Day(9)},
            {null, 1.5, Day(5)},
            {std::string("apple"), 3.0, null},
            {std::string("Éclair"), 10.0, Day(1)},
            {std::string("banana"), 3.0, Day(2)},
            {std::string("eclair"), -2.0, Day(7)}};
}

Report Sorted(const std::string& declarations) {
    return ParsePrepared(
        Jrxml(std::string(Fields) + declarations + "<detail>" + BandXml("$F{NAME}") + "</detail>"));
}

// The rows `report` arranges from `table`, one pass, as NAME texts.
std::vector<std::string> Names(const Report& report, std::vector<std::vector<Value>> table,
                               size_t budget = DefaultSortBudget,
                               const QLocale& locale = QLocale(QLocale::English,
                                                               QLocale::UnitedStates)) {
    RowOpener open = ArrangeRows(
        report, ParameterValues(report, {}),
        [table] { return std::make_unique<VectorRows>(table); }, budget, locale);
    auto rows = open();
    std::vector<std::string> names;
    std::vector<Value> row;
    while (rows->Next(row)) {
        EXPECT_EQ(row.size(), report.fields.size());
        names.push_back(JavaText(row[0]));
    }
    return names;
}

using Names_ = std::vector<std::string>;

} // namespace

TEST(SortValues, NullsNumbersDatesAndBooleansInJavasOrder) {
    const Value null = engine::Null{};
    EXPECT_EQ(CompareSortValues(null, null), 0);
    EXPECT_LT(CompareSortValues(null, std::int64_t{-5}), 0);
    EXPECT_GT(CompareSortValues(std::string(), null), 0);
    // Whole numbers, doubles and money compare by value, also across kinds.
    EXPECT_LT(CompareSortValues(std::int64_t{9}, std::int64_t{10}), 0);
    EXPECT_GT(CompareSortValues(10.5, std::int64_t{10}), 0);
    EXPECT_EQ(CompareSortValues(engine::Currency{25000}, 2.5), 0);
    EXPECT_LT(CompareSortValues(engine::Currency{-1}, engine::Currency{0}), 0);
    EXPECT_LT(CompareSortValues(std::int64_t{9007199254740992}, std::int64_t{9007199254740993}), 0);
    // Java's Double.compareTo: NaN last, -0.0 before 0.0.
    EXPECT_GT(CompareSortValues(std::nan(""), 1e308), 0);
    EXPECT_EQ(CompareSortValues(std::nan(""), std::nan("")), 0);
    EXPECT_LT(CompareSortValues(-0.0, 0.0), 0);
    EXPECT_LT(CompareSortValues(engine::DateTime{2026, 1, 31, 23, 59, 59},
                                engine::DateTime{2026, 2, 1, 0, 0, 0}),
              0);
    EXPECT_LT(CompareSortValues(false, true), 0);
    // Texts outside a String field compare by their characters.
    EXPECT_LT(CompareSortValues(std::string("B"), std::string("a")), 0);
}

TEST(SortRows, TextsByTheLocalesCollationNullsFirst) {
    const Report r = Sorted(R"(<sortField name="NAME"/>)");
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    // Letters first, then accents, then case (lower before upper).
    EXPECT_EQ(Names(r, Table()),
              (Names_{"null", "apple", "Apple", "banana", "eclair", "Éclair", "pear"}));
    const Report down = Sorted(R"(<sortField name="NAME" order="Descending"/>)");
    EXPECT_EQ(Names(down, Table()),
              (Names_{"pear", "Éclair", "eclair", "banana", "Apple", "apple", "null"}));
}

TEST(SortRows, SeveralKeysAndStableTies) {
    // Amount descending (nulls last), then the day; ties keep the table's order.
    const Report r =
        Sorted(R"(<sortField name="AMOUNT" order="Descending"/><sortField name="DAY"/>)");
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    EXPECT_EQ(Names(r, Table()),
              (Names_{"Éclair", "apple", "pear", "banana", "null", "eclair", "Apple"}));
    const Report byAmount = Sorted(R"(<sortField name="AMOUNT"/>)");
    EXPECT_EQ(Names(byAmount, Table()),
              (Names_{"Apple", "eclair", "null", "pear", "apple", "banana", "Éclair"}));
}

TEST(SortRows, TheUsersLocaleDecidesTheCollation) {
    // Swedish sorts Ä after Z; English beside A.
    const Report r = Sorted(R"(<sortField name="NAME"/>)");
    const std::vector<std::vector<Value>> table = {{std::string("Ärlig"), 1.0, Day(1)},
                                                   {std::string("Zeta"), 1.0, Day(1)},
                                                   {std::string("Alfa"), 1.0, Day(1)}};
    EXPECT_EQ(Names(r, table), (Names_{"Alfa", "Ärlig", "Zeta"}));
    EXPECT_EQ(Names(r, table, DefaultSortBudget, QLocale(QLocale::Swedish, QLocale::Sweden)),
              (Names_{"Alfa", "Zeta", "Ärlig"}));
    // The C locale is Java's en_US, not the order of the characters' codes.
    EXPECT_EQ(Names(r, table, DefaultSortBudget, QLocale::c()), (Names_{"Alfa", "Ärlig", "Zeta"}));
}

TEST(SortRows, FilterLeavesRowsOutBeforeTheyAreSortedOrCounted) {
    const Report r = Sorted(R"(<sortField name="NAME"/>
        <filterExpression><![CDATA[$F{AMOUNT} != null && $F{AMOUNT} >= $P{Least}]]></filterExpression>
        <parameter name="Least" class="java.lang.Double"><defaultValueExpression>3.0</defaultValueExpression></parameter>)");
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    EXPECT_EQ(Names(r, Table()), (Names_{"apple", "banana", "Éclair", "pear"}));

    // A filter alone keeps the table's order; REPORT_COUNT counts what is left.
    const Report counted = ParsePrepared(Jrxml(
        std::string(Fields) +
        R"(<filterExpression><![CDATA[$F{NAME} != null && $F{NAME}.startsWith("e") == false]]></filterExpression>
        <detail>)" +
        BandXml("$F{NAME} + \" \" + $V{REPORT_COUNT}") + "</detail>"));
    ASSERT_TRUE(counted.refusals.empty()) << counted.refusals.front();
    RowOpener open = ArrangeRows(counted, {}, [] { return std::make_unique<VectorRows>(Table()); });
    auto rows = open();
    std::vector<std::string> pages;
    FillReport(
        counted, {}, *rows,
        [&](Page&& page) {
            for (const auto& item : page.items)
                pages.push_back(item.text.toStdString());
        },
        nullptr, nullptr);
    EXPECT_EQ(pages, (Names_{"pear 1", "Apple 2", "apple 3", "Éclair 4", "banana 5"}));
}

TEST(SortRows, ByAVariableComputedForEachRow) {
    // "<length of the name>/<name>", descending.
    const Report r = Sorted(R"(
        <variable name="Len" class="java.lang.Integer">
            <variableExpression><![CDATA[$F{NAME} == null ? null : $F{NAME}.length()]]></variableExpression></variable>
        <variable name="Key" class="java.lang.String">
            <variableExpression><![CDATA[$V{Len} + "/" + $F{NAME}]]></variableExpression></variable>
        <sortField name="Key" type="Variable" order="Descending"/>)");
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    // "null/null" for the row without a name: letters after digits.
    EXPECT_EQ(Names(r, Table()),
              (Names_{"null", "Éclair", "eclair", "banana", "Apple", "apple", "pear"}));
}

TEST(SortRows, WhatDependsOnTheOrderOfRowsIsRefusedByName) {
    const Report r = Sorted(R"(
        <variable name="Total" class="java.lang.Double" calculation="Sum">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="Early" class="java.lang.String">
            <variableExpression>$V{Later}</variableExpression></variable>
        <variable name="Later" class="java.lang.String">
            <variableExpression>$F{NAME}</variableExpression></variable>
        <variable name="Page" class="java.lang.Integer">
            <variableExpression>$V{PAGE_NUMBER}</variableExpression></variable>
        <sortField name="Total" type="Variable"/>
        <sortField name="Early" type="Variable"/>
        <sortField name="Page" type="Variable"/>
        <sortField name="Later" type="Variable"/>
        <sortField name="MISSING"/>
        <sortField name="NAME" type="Variable"/>
        <filterExpression>$V{REPORT_COUNT} &lt; 5 &amp;&amp; $F{GONE} == null</filterExpression>)");
    const auto has = [&](const std::string& part) {
        for (const auto& s : r.refusals)
            if (s.find(part) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(has("the variable \"Total\" in a sortField (line 14), whose value depends on the "
                    "order of the rows, which the report engine does not support."));
    EXPECT_TRUE(has("the variable \"Early\" in a sortField"));
    EXPECT_TRUE(has("the variable \"Page\" in a sortField"));
    EXPECT_FALSE(has("\"Later\""));
    EXPECT_TRUE(has("the unknown field \"MISSING\" in a sortField (line 18)"));
    EXPECT_TRUE(has("the unknown variable \"NAME\" in a sortField"));
    EXPECT_TRUE(has("$V{REPORT_COUNT} in the filterExpression"));
    EXPECT_TRUE(has("the unknown field $F{GONE} in the filterExpression"));
    EXPECT_EQ(r.refusals.size(), 7u);

    const Report bad = Sorted(R"(<sortField name="NAME" order="Upwards"/>)");
    ASSERT_EQ(bad.refusals.size(), 1u);
    EXPECT_NE(bad.refusals[0].find("\"Upwards\" of the attribute \"order\""), std::string::npos);
}

TEST(SortRows, AFilterThatIsNotABooleanStopsThePrint) {
    const Report r = Sorted(R"(<filterExpression>$F{AMOUNT}</filterExpression>)");
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    EXPECT_THROW(Names(r, Table()), FillError);
}

class SpilledSort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        previous_ = qgetenv("TMPDIR");
        qputenv("TMPDIR", folder_.path().toUtf8());
    }
    void TearDown() override { qputenv("TMPDIR", previous_); }
    int TemporaryFiles() const { return int(QDir(folder_.path()).entryList(QDir::Files).size()); }

    QTemporaryDir folder_;
    QByteArray previous_;
};

TEST_F(SpilledSort, RunsWrittenOutMergeIntoTheSameOrderAndGoAway) {
    const Report r =
        Sorted(R"(<sortField name="AMOUNT" order="Descending"/><sortField name="NAME"/>)");
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    // Few distinct amounts, so that the merge has ties to keep in order.
    std::mt19937 random(7);
    std::vector<std::vector<Value>> table;
    for (int i = 0; i < 3000; ++i)
        table.push_back({std::string("n") + std::to_string(random() % 500),
                         i % 97 == 0 ? Value() : Value(double(random() % 40)), Day(1 + i % 28)});
    const auto inMemory = Names(r, table);
    int opened = 0;
    {
        // Some 120 rows a run: about 25 files, merged in one go.
        RowOpener open = ArrangeRows(
            r, {},
            [&] {
                ++opened;
                return std::make_unique<VectorRows>(table);
            },
            40000);
        for (int pass = 0; pass < 2; ++pass) {
            auto rows = open();
            const int files = TemporaryFiles();
            EXPECT_GE(files, 10);
            EXPECT_LE(files, 32);
            std::vector<std::string> names;
            std::vector<Value> row;
            while (rows->Next(row))
                names.push_back(JavaText(row[0]));
            EXPECT_EQ(names, inMemory);
        }
    }
    EXPECT_EQ(opened, 1); // every pass merges the same runs again
    EXPECT_EQ(TemporaryFiles(), 0);
    // A run per few rows: more files than are merged at once, merged in steps.
    EXPECT_EQ(Names(r, table, 2000), inMemory);
    EXPECT_EQ(TemporaryFiles(), 0);
}

TEST_F(SpilledSort, EveryKindOfValueSurvivesTheTemporaryFile) {
    const Report r = ParsePrepared(Jrxml(R"(<field name="V" class="java.lang.Object"/>
        <field name="K" class="java.lang.Integer"/><sortField name="K"/>)"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const std::vector<Value> values = {engine::Null{},
                                       true,
                                       std::int64_t{-9007199254740993},
                                       -0.0,
                                       std::string("t\0x\xC3\xA9", 5),
                                       engine::DateTime{1, 12, 31, 23, 59, 58},
                                       engine::Blob{0, 255, 7},
                                       engine::Currency{INT64_MIN}};
    std::vector<std::vector<Value>> table;
    for (size_t i = values.size(); i-- > 0;)
        table.push_back({values[i], std::int64_t(i)});
    RowOpener open = ArrangeRows(
        r, {}, [&] { return std::make_unique<VectorRows>(table); }, 1);
    auto rows = open();
    std::vector<Value> row;
    for (const Value& expected : values) {
        ASSERT_TRUE(rows->Next(row));
        EXPECT_EQ(row[0].index(), expected.index());
        EXPECT_EQ(row[0], expected);
    }
    EXPECT_FALSE(rows->Next(row));
}

TEST_F(SpilledSort, ASourceThatFailsMidwayLeavesNoFiles) {
    const Report r = Sorted(R"(<sortField name="NAME"/>)");
    class Failing : public RowSource {
      public:
        bool Next(std::vector<Value>& row) override {
            if (++n_ > 50) throw SourceError("the table went away");
            row = {std::string("x") + std::to_string(n_), 1.0, Day(1)};
            return true;
        }
        int n_ = 0;
    };
    RowOpener open = ArrangeRows(
        r, {}, [] { return std::make_unique<Failing>(); }, 1000);
    EXPECT_THROW(open(), SourceError);
    EXPECT_EQ(TemporaryFiles(), 0);
}
