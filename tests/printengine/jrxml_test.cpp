#include "report_test_support.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace printengine;
using printengine::test::Jrxml;

namespace {

std::optional<Report> Parse(const std::string& text) {
    return ParseJrxml(QByteArray::fromStdString(text));
}

// The first refusal, or "" when the report is accepted.
std::string Refusal(const std::string& body) {
    auto report = Parse(Jrxml(body));
    if (!report) return "not a report";
    PrepareReport(*report);
    return report->refusals.empty() ? std::string() : report->refusals.front();
}

} // namespace

TEST(Jrxml, NotAReportAtAll) {
    EXPECT_FALSE(Parse(""));
    EXPECT_FALSE(Parse("plain text"));
    EXPECT_FALSE(Parse("<html><body/></html>"));
    EXPECT_FALSE(Parse("<jasperReport name='x'>")); // unclosed
    EXPECT_FALSE(Parse("<jasperReport/><jasperReport/>"));
    EXPECT_TRUE(Parse("<jasperReport/>"));
}

TEST(Jrxml, PageAndDeclarationsAreRead) {
    auto r = Parse(Jrxml(R"(
        <property name="norvakel.table" value="ORDERS"/>
        <property name="norvakel.location" value="/data/SALES.MDB"/>
        <property name="com.jaspersoft.studio.unit.pageHeight" value="pixel"/>
        <import value="java.util.*"/>
        <parameter name="Title" class="java.lang.String" isForPrompting="false">
            <parameterDescription>shown on top</parameterDescription>
            <defaultValueExpression><![CDATA["Sales"]]></defaultValueExpression>
        </parameter>
        <queryString><![CDATA[]]></queryString>
        <field name="AMOUNT" class="java.math.BigDecimal"><fieldDescription/></field>
        <variable name="Total" class="java.lang.Double" calculation="Sum" resetType="Group" resetGroup="G">
            <variableExpression><![CDATA[$F{AMOUNT}]]></variableExpression>
        </variable>
        <group name="G" isStartNewPage="true"><groupExpression>$F{AMOUNT}</groupExpression></group>
        <detail><band height="12" splitType="Stretch"/><band height="8"/></detail>)"));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->refusals.empty()) << r->refusals.front();
    EXPECT_EQ(r->pageHeight, 200);
    EXPECT_EQ(r->tableName, "ORDERS");
    EXPECT_EQ(r->tableLocation, "/data/SALES.MDB");
    ASSERT_EQ(r->parameters.size(), 1u);
    EXPECT_EQ(r->fields[0].valueClass, ValueClass::BigDecimal);
    ASSERT_EQ(r->variables.size(), 1u);
    EXPECT_EQ(r->variables[0].calculation, Calculation::Sum);
    EXPECT_EQ(r->variables[0].resetGroup, 0); // the group is declared after the variable
    EXPECT_TRUE(r->groups[0].startNewPage);
    EXPECT_EQ(r->details.size(), 2u);
}

TEST(Jrxml, DesignerAttributesAreIgnored) {
    EXPECT_EQ(Refusal(R"(<title><band height="20"><staticText>
        <reportElement key="k" x="0" y="0" width="10" height="10" uuid="u-1">
          <property name="com.jaspersoft.studio.spreadsheet.connectionID" value="x"/>
        </reportElement>
        <textElement><font fontName="SansSerif" pdfFontName="Helvetica" isPdfEmbedded="false"/></textElement>
        <text><![CDATA[Hi]]></text></staticText></band></title>)"),
              "");
}

TEST(Jrxml, WhatOnlyTheDesignerOrOtherFormatsUseIsIgnored) {
    EXPECT_EQ(Refusal(R"(
        <property name="ireport.zoom" value="1.5"/>
        <property name="net.sf.jasperreports.export.xls.detect.cell.type" value="true"/>
        <queryString language="SQL"><![CDATA[select * from orders where id > 10]]></queryString>
        <title><band height="20"><textField hyperlinkType="Reference" hyperlinkTarget="Blank"
            bookmarkLevel="1">
          <reportElement x="0" y="0" width="10" height="10">
            <property name="local_mesure_unitheight" value="pixel"/>
            <property name="net.sf.jasperreports.export.html.class" value="x"/>
          </reportElement>
          <textElement><paragraph lineSpacing="Single" lineSpacingSize="1.0" leftIndent="0"/>
          </textElement>
          <textFieldExpression><![CDATA["t"]]></textFieldExpression>
          <anchorNameExpression><![CDATA["a"]]></anchorNameExpression>
          <hyperlinkReferenceExpression><![CDATA["http://x"]]></hyperlinkReferenceExpression>
        </textField></band></title>)"),
              "");
    // Any query language: the rows come from the table the run names.
    EXPECT_EQ(Refusal("<queryString language='xPath'>/a/b</queryString>"), "");
}

TEST(Jrxml, FieldsAndParametersOfAnyClassWhileNothingEvaluatesThem) {
    auto r = Parse(Jrxml("<parameter name='Logo' class='java.awt.Image'/>"
                         "<parameter name='Items' class='java.util.List'/>"
                         "<field name='Children' class='java.util.Collection'/>"
                         "<field name='NAME' class='java.lang.String'/>"));
    ASSERT_TRUE(r);
    PrepareReport(*r);
    EXPECT_TRUE(r->refusals.empty()) << r->refusals.front();
    EXPECT_EQ(r->fields[0].otherClass, "java.util.Collection");
    EXPECT_TRUE(r->fields[1].otherClass.empty());
    EXPECT_EQ(r->parameters[1].otherClass, "java.util.List");
}

TEST(Jrxml, EveryProblemIsListedWithItsLine) {
    auto r = Parse(Jrxml("<field name='A'/>\n"                         // line 3
                         "<variable name='V' calculation='Median'/>\n" // 4
                         "<title><band height='5'>\n"                  // 5
                         "<genericElement/>\n"                         // 6
                         "<textField><reportElement x='0' y='0' width='5' height='5'/>\n"
                         "<textFieldExpression>$F{B} + 1</textFieldExpression>\n" // 8
                         "</textField><chart/>\n"                                 // 9
                         "</band></title>"));
    ASSERT_TRUE(r);
    PrepareReport(*r);
    ASSERT_EQ(r->refusals.size(), 4u);
    EXPECT_NE(r->refusals[0].find("\"Median\" of the attribute \"calculation\" of \"variable\" "
                                  "(line 4)"),
              std::string::npos)
        << r->refusals[0];
    EXPECT_NE(r->refusals[1].find("\"genericElement\" in \"band\" (line 6)"), std::string::npos);
    EXPECT_NE(r->refusals[2].find("\"chart\" in \"band\" (line 9)"), std::string::npos);
    EXPECT_NE(r->refusals[3].find("$F{B} in \"$F{B} + 1\" (line 8)"), std::string::npos)
        << r->refusals[3];
}

TEST(Jrxml, TheErrorTextShowsTheFirstFiveAndCountsTheRest) {
    EXPECT_EQ(RefusalText({"a.", "b."}), "a.\r\nb.");
    const std::vector<std::string> seven = {"1.", "2.", "3.", "4.", "5.", "6.", "7."};
    EXPECT_EQ(RefusalText(seven),
              "1.\r\n2.\r\n3.\r\n4.\r\n5.\r\n... and 2 more problems, all listed in the "
              "program's log.");
}

TEST(Jrxml, OutsideTheSupportedSetIsNamed) {
    const struct {
        const char* body;
        const char* named;
    } cases[] = {
        {"<title><band height='5'><componentElement><reportElement x='0' y='0' width='5' "
         "height='5'/><map/></componentElement></band></title>",
         "the component \"map\""},
        {"<subDataset name='s'><scriptlet name='x' class='y'/></subDataset>",
         "the element \"scriptlet\" in \"subDataset\""},
        {"<style name='s' markup='docbook'/>",
         "\"docbook\" of the attribute \"markup\" of \"style\""},
        {"<detail><band height='5'><subreport/></band></detail>",
         "a subreport without a file name"},
        {"<title><band height='5'><staticText><reportElement x='0' y='0' width='5' height='5'>"
         "<propertyExpression name='a'>true</propertyExpression></reportElement></staticText>"
         "</band></title>",
         "\"propertyExpression\" in \"reportElement\""},
        {"<title><band height='5'><textField evaluationTime='Later'><reportElement x='0' y='0' "
         "width='5' height='5'/></textField></band></title>",
         "\"Later\" of the attribute \"evaluationTime\""},
        {"<field name='A' class='java.awt.Image'/><title><band height='5'><textField>"
         "<reportElement x='0' y='0' width='5' height='5'/><textFieldExpression>$F{A} != null"
         "</textFieldExpression></textField></band></title>",
         "$F{A} of the class java.awt.Image in \"$F{A} != null\" (line 3)"},
        {"<variable name='V' calculation='Median'/>", "\"Median\""},
        {"<variable name='V' calculation='Sum' resetType='Group' resetGroup='Nope'/>",
         "the unknown group \"Nope\""},
        {"<property name='net.sf.jasperreports.awt.ignore.missing.font' value='true'/>",
         "the property"},
        {"<title><band height='5'><staticText><textElement><paragraph lineSpacing='Triple'/>"
         "</textElement></staticText></band></title>",
         "\"Triple\" of the attribute \"lineSpacing\""},
        {"<title><band height='5'><textField><reportElement x='0' y='0' width='5' height='5'/>"
         "<textFieldExpression>new "
         "java.util.HashMap()</textFieldExpression></textField></band></title>",
         "the class java.util.HashMap after new"},
        {"<title><band height='5'><textField><reportElement x='0' y='0' width='5' height='5'/>"
         "<textFieldExpression>$V{NOPE}</textFieldExpression></textField></band></title>",
         "$V{NOPE}"},
        {"<title><band height='5'><textField><reportElement x='0' y='0' width='5' height='5' "
         "forecolor='reddish'/></textField></band></title>",
         "\"reddish\" of the attribute \"forecolor\""},
    };
    for (const auto& c : cases) {
        const std::string refusal = Refusal(c.body);
        EXPECT_NE(refusal.find(c.named), std::string::npos) << c.body << "\n -> " << refusal;
        EXPECT_NE(refusal.find("does not support"), std::string::npos) << refusal;
    }
}

TEST(Jrxml, BadPageGeometryIsRefused) {
    auto r = Parse("<jasperReport pageWidth='100' leftMargin='60' rightMargin='60'/>");
    ASSERT_TRUE(r);
    ASSERT_FALSE(r->refusals.empty());
    r = Parse("<jasperReport pageWidth='abc'/>");
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->refusals.empty());
}

TEST(Jrxml, HostileDocumentsAreBounded) {
    std::string deep;
    for (int i = 0; i < 5000; ++i)
        deep += "<a>";
    EXPECT_FALSE(Parse("<jasperReport>" + deep));
    // Entity expansion is capped by the reader.
    const std::string bomb = "<?xml version='1.0'?><!DOCTYPE r [<!ENTITY a 'aaaaaaaaaa'>"
                             "<!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'>"
                             "<!ENTITY c '&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;'>"
                             "<!ENTITY d '&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;'>"
                             "<!ENTITY e '&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;'>"
                             "<!ENTITY f '&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;'>]>"
                             "<jasperReport name='&f;'/>";
    auto r = Parse(bomb);
    EXPECT_TRUE(!r || r->name.size() < 2000000);
}

TEST(Jrxml, BoxesGivePaddingAndBorders) {
    auto r = Parse(Jrxml(R"(<title><band height="20"><staticText>
        <reportElement x="0" y="0" width="100" height="20"/>
        <box padding="2" leftPadding="5"><pen lineWidth="0.5" lineColor="#FF0000"/>
          <topPen lineWidth="2.0" lineStyle="Dashed"/><rightPen lineWidth="0.0"/></box>
        <text>t</text></staticText></band></title>)"));
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->refusals.empty()) << r->refusals.front();
    const Box& box = r->title->elements[0].box;
    EXPECT_EQ(box.top, 2);
    EXPECT_EQ(box.left, 5);
    EXPECT_EQ(box.bottomPen.width, 0.5);
    EXPECT_EQ(box.bottomPen.color, QColor("#FF0000"));
    EXPECT_EQ(box.topPen.width, 2.0);
    EXPECT_EQ(box.topPen.style, Qt::DashLine);
    EXPECT_EQ(box.rightPen.width, 0.0);
    EXPECT_NE(Refusal("<title><band height='5'><staticText><box><shadow/></box></staticText>"
                      "</band></title>")
                  .find("\"shadow\" in \"box\""),
              std::string::npos);
}

// The fuzzer's seeds for the designer's features must reach the filler, not
// stop at a refusal.
TEST(Jrxml, FuzzSeedsOfDesignerFeaturesAreAccepted) {
    const std::string corpus = std::string(NORVAKEL_TESTS_DIR) + "/fuzz/corpus/jrxml/";
    for (const char* name : {"styles.jrxml", "java.jrxml", "layout.jrxml", "pages.jrxml",
                             "charts.jrxml", "text.jrxml", "bands.jrxml"}) {
        QFile file(QString::fromStdString(corpus + name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << corpus + name;
        auto r = ParseJrxml(file.readAll());
        ASSERT_TRUE(r) << name;
        PrepareReport(*r);
        EXPECT_TRUE(r->refusals.empty()) << name << ": " << RefusalText(r->refusals);
    }
}
