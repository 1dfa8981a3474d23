// Styles as the designer writes them: the default style, named styles and
// their parents, the element's own attributes over them, conditional styles
// per row, style templates beside the report; printWhenExpression, frames and
// element groups.
#include "report_test_support.h"

#include "printengine/paint.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace printengine;
using namespace printengine::test;

namespace {

std::string TitleWith(const std::string& elements, int height = 40) {
    return "<title><band height='" + std::to_string(height) + "'>" + elements + "</band></title>";
}

std::string Text(const std::string& reportElement, const std::string& inner = "") {
    return "<staticText><reportElement x='0' y='0' width='100' height='20' " + reportElement +
           "/>" + inner + "<text>t</text></staticText>";
}

Report Prepared(const std::string& body, const QString& folder = QString()) {
    auto r = ParseJrxml(QByteArray::fromStdString(Jrxml(body)), folder);
    if (!r) return Report{};
    PrepareReport(*r);
    return std::move(*r);
}

std::string AllRefusals(const Report& r) {
    std::string all;
    for (const auto& x : r.refusals)
        all += x + "\n";
    return all;
}

// Every page item of a fill over `rows`, in order.
std::vector<PageItem> Items(const Report& r, std::vector<std::vector<Value>> rows) {
    VectorRows source(std::move(rows));
    std::vector<PageItem> items;
    FillReport(
        r, ParameterValues(r, {}), source,
        [&](Page&& page) {
            for (auto& item : page.items)
                items.push_back(std::move(item));
        },
        nullptr, nullptr);
    return items;
}

} // namespace

TEST(Styles, TheChainResolvesUnderTheElementsOwnAttributes) {
    const Report r = Prepared(R"(
        <style name="Base" isDefault="true" fontName="Serif" fontSize="9" forecolor="#112233"
               hTextAlign="Center" vTextAlign="Middle">
            <box padding="4"><pen lineWidth="0.5" lineColor="#00FF00"/></box>
        </style>
        <style name="Strong" style="Base" fontSize="12" isBold="true" mode="Opaque" backcolor="lightGray"/>
        <style name="Stronger" style="Strong" isItalic="true" isUnderline="true"/>)" +
                              TitleWith(Text("") + Text("style='Stronger'") +
                                        Text("style='Stronger' forecolor='red'",
                                             "<box><topPen lineWidth='2'/></box>"
                                             "<textElement textAlignment='Right'>"
                                             "<font size='7' isBold='false'/></textElement>")));
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    const auto& el = r.title->elements;
    ASSERT_EQ(el.size(), 3u);
    // No style named: the default one.
    EXPECT_EQ(el[0].style.fontName, "Serif"); // mapped to an installed family when drawn
    EXPECT_EQ(el[0].style.size, 9);
    EXPECT_EQ(el[0].foreColor, QColor("#112233"));
    EXPECT_EQ(el[0].style.hAlign, TextStyle::HAlign::Center);
    EXPECT_EQ(el[0].style.vAlign, TextStyle::VAlign::Middle);
    EXPECT_EQ(el[0].box.left, 4);
    EXPECT_EQ(el[0].box.bottomPen.width, 0.5);
    EXPECT_FALSE(el[0].opaque);
    // Through two parents.
    EXPECT_EQ(el[1].style.size, 12);
    EXPECT_TRUE(el[1].style.bold && el[1].style.italic && el[1].style.underline);
    EXPECT_TRUE(el[1].opaque);
    EXPECT_EQ(el[1].backColor, QColor(192, 192, 192));
    EXPECT_EQ(el[1].style.fontName, "Serif");
    // The element's own attributes win, one by one; its box pen keeps the style's colour.
    EXPECT_EQ(el[2].foreColor, QColor(255, 0, 0));
    EXPECT_EQ(el[2].style.size, 7);
    EXPECT_FALSE(el[2].style.bold);
    EXPECT_TRUE(el[2].style.italic);
    EXPECT_EQ(el[2].style.hAlign, TextStyle::HAlign::Right);
    EXPECT_EQ(el[2].box.topPen.width, 2);
    EXPECT_EQ(el[2].box.topPen.color, QColor("#00FF00"));
    EXPECT_EQ(el[2].box.leftPen.width, 0.5);
}

TEST(Styles, GraphicElementsTakePenRadiusAndFillFromStyles) {
    const Report r = Prepared(R"(
        <style name="Shape" radius="6" backcolor="#0000FF" forecolor="#FF0000">
            <pen lineWidth="3" lineStyle="Dashed"/></style>)" +
                              TitleWith("<rectangle><reportElement x='0' y='0' width='50' "
                                        "height='20' style='Shape'/></rectangle>"
                                        "<ellipse><reportElement x='60' y='0' width='20' "
                                        "height='20' style='Shape' mode='Transparent'/>"
                                        "<graphicElement><pen lineStyle='Dotted'/>"
                                        "</graphicElement></ellipse>"));
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    const auto& el = r.title->elements;
    EXPECT_EQ(el[0].kind, ElementKind::Rectangle);
    EXPECT_EQ(el[0].radius, 6);
    EXPECT_EQ(el[0].penWidth, 3);
    EXPECT_EQ(el[0].penStyle, Qt::DashLine);
    EXPECT_TRUE(el[0].opaque); // shapes are filled unless they say otherwise
    EXPECT_EQ(el[1].kind, ElementKind::Ellipse);
    EXPECT_FALSE(el[1].opaque);
    EXPECT_EQ(el[1].penWidth, 3);
    EXPECT_EQ(el[1].penStyle, Qt::DotLine);
}

TEST(Styles, BrokenStylesAreRefusedByName) {
    const struct {
        const char* body;
        const char* named;
    } cases[] = {
        {"<title><band height='20'><staticText><reportElement x='0' y='0' width='5' "
         "height='5' style='Nope'/></staticText></band></title>",
         "the unknown style \"Nope\" (line 3)"},
        {"<style name='A' style='Gone'/><title><band height='20'><staticText><reportElement "
         "x='0' y='0' width='5' height='5' style='A'/></staticText></band></title>",
         "the unknown parent style \"Gone\" of the style \"A\""},
        {"<style name='A' style='B'/><style name='B' style='A'/><title><band height='20'>"
         "<staticText><reportElement x='0' y='0' width='5' height='5' style='A'/></staticText>"
         "</band></title>",
         "inherits from itself"},
        {"<style name='A' fontSize='-3'/>", "\"-3\" of the attribute \"fontSize\""},
        {"<style fontSize='3'/>", "a style without a name"},
        {"<style name='A' shadow='yes'/>", "the attribute \"shadow\" of \"style\""},
        {"<template>\"absent.jrtx\"</template>", "the style template \"absent.jrtx\""},
        {"<template>$P{REPORT_NAME}</template>", "not a file name"},
    };
    for (const auto& c : cases) {
        const std::string all = AllRefusals(Prepared(c.body, QDir::tempPath()));
        EXPECT_NE(all.find(c.named), std::string::npos) << c.body << "\n -> " << all;
    }
}

TEST(Styles, TemplatesBesideTheReportAndTheirOwnTemplates) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto write = [&](const char* name, const char* text) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    write("base.jrtx", R"(<?xml version="1.0"?><jasperTemplate>
        <style name="Base" isDefault="true" fontSize="10"/>
        <style name="Strong" style="Base" isBold="true"/>
        <style name="Very Strong" style="Strong" isItalic="true"/>
        </jasperTemplate>)");
    write("styles.jrtx", R"(<?xml version="1.0"?><jasperTemplate>
        <template><![CDATA[base.jrtx]]></template>
        <style name="Strong" style="Base" isUnderline="true" fontSize="14"/>
        <style name="Regular" style="Base" isDefault="true" fontSize="12"/>
        </jasperTemplate>)");
    const Report r = Prepared("<template><![CDATA[\"styles.jrtx\"]]></template>"
                              "<style name='Mine' style='Strong' forecolor='#FFC800'/>" +
                                  TitleWith(Text("") + Text("style='Very Strong'") +
                                            Text("style='Mine'") + Text("style='Strong'")),
                              dir.path());
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    const auto& el = r.title->elements;
    EXPECT_EQ(el[0].style.size, 12); // the last default style
    // A template's style keeps the parent it was written against...
    EXPECT_TRUE(el[1].style.bold);
    EXPECT_FALSE(el[1].style.underline);
    EXPECT_TRUE(el[1].style.italic);
    // ...while later ones see the override.
    EXPECT_TRUE(el[2].style.underline);
    EXPECT_FALSE(el[2].style.bold);
    EXPECT_EQ(el[2].foreColor, QColor(255, 200, 0));
    EXPECT_EQ(el[3].style.size, 14);

    write("loop.jrtx", R"(<jasperTemplate><template>loop.jrtx</template></jasperTemplate>)");
    const Report loop = Prepared("<template>\"loop.jrtx\"</template>", dir.path());
    EXPECT_NE(AllRefusals(loop).find("nested too deeply"), std::string::npos) << AllRefusals(loop);
    write("bad.jrtx", "<jasperReport/>");
    EXPECT_NE(AllRefusals(Prepared("<template>\"bad.jrtx\"</template>", dir.path()))
                  .find("not a style template"),
              std::string::npos);
    // Without a report folder (a report read from memory) nothing is read.
    EXPECT_FALSE(Prepared("<template>\"styles.jrtx\"</template>").refusals.empty());
}

TEST(Styles, ConditionalStylesApplyPerRowUnderTheOwnAttributes) {
    const Report r = Prepared(R"(<field name="N" class="java.lang.Integer"/>
        <style name="Alert" forecolor="#000080" fontSize="8">
            <conditionalStyle><conditionExpression>$F{N} > 10</conditionExpression>
                <style forecolor="#FF0000" isBold="true"/></conditionalStyle>
            <conditionalStyle><conditionExpression>$F{N} > 100</conditionExpression>
                <style fontSize="20" mode="Opaque" backcolor="#FFFF00"/></conditionalStyle>
        </style>
        <detail><band height="20">
            <textField><reportElement x="0" y="0" width="50" height="20" style="Alert"/>
                <textFieldExpression>$F{N}</textFieldExpression></textField>
            <textField><reportElement x="50" y="0" width="50" height="20" style="Alert" forecolor="#00FF00"/>
                <textFieldExpression>$F{N}</textFieldExpression></textField>
        </band></detail>)");
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    const auto items =
        Items(r, {{std::int64_t{5}}, {std::int64_t{50}}, {std::int64_t{500}}, {Value()}});
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[0].element->foreColor, QColor("#000080"));
    EXPECT_FALSE(items[0].element->style.bold);
    EXPECT_EQ(items[2].element->foreColor, QColor("#FF0000"));
    EXPECT_TRUE(items[2].element->style.bold);
    EXPECT_EQ(items[2].element->style.size, 8);
    EXPECT_EQ(items[4].element->style.size, 20); // both hold
    EXPECT_TRUE(items[4].element->opaque);
    EXPECT_EQ(items[4].element->foreColor, QColor("#FF0000"));
    EXPECT_EQ(items[6].element->foreColor, QColor("#000080")); // null compares false
    // The element's own colour stays above every conditional style.
    for (size_t i = 1; i < items.size(); i += 2)
        EXPECT_EQ(items[i].element->foreColor, QColor("#00FF00")) << i;
    EXPECT_TRUE(items[3].element->style.bold);
}

TEST(Layout, PrintWhenExpressionHidesElementsAndBands) {
    const Report ok = Prepared(R"(<field name="N" class="java.lang.Integer"/>
        <detail><band height="10">
            <printWhenExpression>$F{N} != 3</printWhenExpression>
            <textField><reportElement x="0" y="0" width="50" height="10"/>
                <textFieldExpression>"n" + $F{N}</textFieldExpression></textField>
            <textField><reportElement x="50" y="0" width="50" height="10">
                <printWhenExpression>$F{N} % 2 == 0 || $F{N} == 1</printWhenExpression>
              </reportElement>
                <textFieldExpression>"even"</textFieldExpression></textField>
        </band></detail>)");
    ASSERT_TRUE(ok.refusals.empty()) << AllRefusals(ok);
    const auto items = Items(
        ok,
        {{std::int64_t{1}}, {std::int64_t{2}}, {std::int64_t{3}}, {std::int64_t{4}}, {Value()}});
    std::string texts;
    for (const auto& i : items)
        texts += i.text.toStdString() + "@" + std::to_string(int(i.rect.top())) + " ";
    // Row 3's band is not printed and takes no room; null prints nothing either.
    EXPECT_EQ(texts, "n1@20 even@20 n2@30 even@30 n4@40 even@40 nnull@50 ");
}

TEST(Layout, FramesAndElementGroupsPlaceTheirContents) {
    const Report r = Prepared(TitleWith(R"(
        <frame><reportElement x="10" y="5" width="100" height="30" mode="Opaque" backcolor="#EEEEEE"/>
            <box><pen lineWidth="1"/></box>
            <staticText><reportElement x="2" y="3" width="50" height="10"/><text>in</text></staticText>
            <frame><reportElement x="20" y="10" width="50" height="15"/>
                <elementGroup><staticText><reportElement x="1" y="1" width="20" height="10"/>
                    <text>deep</text></staticText></elementGroup>
            </frame>
        </frame>)"));
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    const auto& el = r.title->elements;
    ASSERT_EQ(el.size(), 4u);
    EXPECT_EQ(el[0].kind, ElementKind::Frame);
    EXPECT_TRUE(el[0].opaque);
    EXPECT_EQ(el[0].box.topPen.width, 1);
    EXPECT_EQ(el[1].text, "in");
    EXPECT_EQ(QPointF(el[1].x, el[1].y), QPointF(12, 8));
    EXPECT_EQ(QPointF(el[2].x, el[2].y), QPointF(30, 15));
    EXPECT_EQ(QPointF(el[3].x, el[3].y), QPointF(31, 16));
}

// ---- images -------------------------------------------------------------------

namespace {

// A report folder with red.png (40 x 20 pixels at 72 dpi) and a broken file.
struct ImageFolder {
    ImageFolder() {
        QImage red(40, 20, QImage::Format_RGB32);
        red.fill(Qt::red);
        red.setDotsPerMeterX(2835);
        red.setDotsPerMeterY(2835);
        red.save(dir.filePath("red.png"));
        QFile broken(dir.filePath("broken.png"));
        if (broken.open(QIODevice::WriteOnly)) broken.write("not a picture");
        QFile brokenSvg(dir.filePath("broken.svg"));
        if (brokenSvg.open(QIODevice::WriteOnly)) brokenSvg.write("<svg");
        QFile svg(dir.filePath("green.svg"));
        if (svg.open(QIODevice::WriteOnly))
            svg.write("<svg xmlns='http://www.w3.org/2000/svg' width='40' height='40'>"
                      "<rect width='40' height='40' fill='#00ff00'/></svg>");
    }
    QTemporaryDir dir;
};

std::string ImageXml(const std::string& name, const std::string& attributes = "",
                     const std::string& box = "") {
    return "<image " + attributes + "><reportElement x='0' y='0' width='100' height='40'/>" + box +
           "<imageExpression><![CDATA[" + name + "]]></imageExpression></image>";
}

QImage Render(const Report& r) {
    return RenderWithoutRows(r);
}

} // namespace

TEST(Images, FilesBesideTheReportAreScaledAndAligned) {
    ImageFolder folder;
    const auto report = [&](const std::string& attributes) {
        Report r = Prepared("<title><band height='50'>" + ImageXml("\"red.png\"", attributes) +
                                "</band></title>",
                            folder.dir.path());
        r.whenNoData = Report::NoData::AllSectionsNoDetail;
        return r;
    };
    const auto red = [](const QImage& page, int x, int y) {
        return page.pixelColor(x, y) == QColor(Qt::red);
    };
    // RetainShape (the default): 40 x 20 grows to 80 x 40 in the 100 x 40 box, at the left.
    QImage page = Render(report(""));
    EXPECT_TRUE(red(page, 21, 21) && red(page, 98, 58));
    EXPECT_FALSE(red(page, 110, 40));
    // Centred.
    page = Render(report("hAlign='Center'"));
    EXPECT_FALSE(red(page, 25, 40));
    EXPECT_TRUE(red(page, 35, 40) && red(page, 105, 40));
    // FillFrame stretches to the whole box; Clip keeps the natural size at the bottom right.
    // An SVG drawing, kept as vectors: 40 CSS pixels are 30 points, grown to 40.
    Report drawing =
        Prepared("<title><band height='50'>" + ImageXml("\"green.svg\"") + "</band></title>",
                 folder.dir.path());
    drawing.whenNoData = Report::NoData::AllSectionsNoDetail;
    page = Render(drawing);
    EXPECT_EQ(page.pixelColor(58, 58), QColor(0, 255, 0));
    EXPECT_EQ(page.pixelColor(62, 40), QColor(Qt::white));
    page = Render(report("scaleImage='FillFrame'"));
    EXPECT_TRUE(red(page, 21, 21) && red(page, 118, 58));
    page = Render(report("scaleImage='Clip' hImageAlign='Right' vImageAlign='Bottom'"));
    EXPECT_TRUE(red(page, 118, 58) && red(page, 82, 42));
    EXPECT_FALSE(red(page, 78, 40));
    EXPECT_FALSE(red(page, 100, 36));
}

TEST(Images, WhatCannotBeReadStopsThePrintUnlessBlankIsAsked) {
    ImageFolder folder;
    const auto fill = [&](const std::string& image) {
        Report r = Prepared("<parameter name='Bytes' class='java.lang.Object'/>"
                            "<title><band height='50'>" +
                                image + "</band></title>",
                            folder.dir.path());
        r.whenNoData = Report::NoData::AllSectionsNoDetail;
        EXPECT_TRUE(r.refusals.empty()) << AllRefusals(r);
        return Items(r, {});
    };
    const auto failure = [&](const std::string& image) {
        try {
            fill(image);
        } catch (const FillError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(failure(ImageXml("\"gone.png\"")).find("The image gone.png could not be read"),
              std::string::npos);
    EXPECT_NE(failure(ImageXml("\"broken.png\"")).find("broken.png"), std::string::npos);
    EXPECT_NE(failure(ImageXml("\"http://example.com/a.png\"")).find("network"), std::string::npos);
    EXPECT_NE(failure(ImageXml("\"broken.svg\"")).find("not a valid SVG drawing"),
              std::string::npos);
    EXPECT_NE(failure(ImageXml("42")).find("neither a file name nor image data"),
              std::string::npos);
    // Blank leaves the place empty; a null expression shows nothing either.
    auto items = fill(ImageXml("\"gone.png\"", "onErrorType='Blank'"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].image.isNull());
    items = fill(ImageXml("$P{Bytes}"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].image.isNull());
    items = fill(ImageXml("\"red.png\"") + ImageXml("\"red.png\""));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].image.size(), QSize(40, 20));
}

TEST(Images, AFieldOfImageBytes) {
    QImage blue(4, 4, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    blue.save(&buffer, "PNG");
    const Report r = Prepared("<field name='PHOTO' class='java.lang.Object'/><detail>"
                              "<band height='50'>" +
                              ImageXml("$F{PHOTO}") + "</band></detail>");
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    const auto items = Items(r, {{engine::Blob(png.begin(), png.end())}});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].image.pixelColor(1, 1), QColor(Qt::blue));
    EXPECT_THROW(Items(r, {{engine::Blob{1, 2, 3}}}), FillError);
}

// ---- repeated values and blank lines ----------------------------------------------

namespace {

std::string Positions(const std::vector<PageItem>& items) {
    std::string out;
    for (const auto& i : items)
        out += i.text.toStdString() + "@" + std::to_string(int(i.rect.top())) + " ";
    return out;
}

std::vector<std::vector<Value>> Cities(std::initializer_list<const char*> names) {
    std::vector<std::vector<Value>> rows;
    std::int64_t n = 0;
    for (const char* c : names)
        rows.push_back({std::string(c), ++n});
    return rows;
}

const char* CityFields = R"(<field name="CITY" class="java.lang.String"/>
    <field name="N" class="java.lang.Integer"/>)";

} // namespace

TEST(Layout, RepeatedValuesAreLeftOut) {
    const Report r = Prepared(std::string(CityFields) + R"(
        <detail><band height="40">
            <textField><reportElement x="0" y="0" width="50" height="40" isPrintRepeatedValues="false"/>
                <textFieldExpression>$F{CITY}</textFieldExpression></textField>
            <textField><reportElement x="50" y="0" width="50" height="40"/>
                <textFieldExpression>$F{N}</textFieldExpression></textField>
        </band></detail>)");
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    // Four rows of 40 fit a page of 160; the fifth starts page 2 without repeating "b".
    EXPECT_EQ(Positions(Items(r, Cities({"a", "a", "b", "b", "b", "a"}))),
              "a@20 1@20 2@60 b@100 3@100 4@140 5@20 a@60 6@60 ");
}

TEST(Layout, RepeatedValuesReturnOnNewPagesAndGroups) {
    const Report r = Prepared(std::string(CityFields) + R"(
        <group name="G"><groupExpression>$F{N} > 2</groupExpression></group>
        <detail><band height="40">
            <textField><reportElement x="0" y="0" width="50" height="40" isPrintRepeatedValues="false"
                    isPrintInFirstWholeBand="true"/>
                <textFieldExpression>$F{CITY}</textFieldExpression></textField>
            <textField><reportElement x="50" y="0" width="50" height="40" isPrintRepeatedValues="false"
                    printWhenGroupChanges="G"/>
                <textFieldExpression>"g" + $F{CITY}</textFieldExpression></textField>
        </band></detail>)");
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    EXPECT_EQ(Positions(Items(r, Cities({"a", "a", "a", "a", "a"}))), "a@20 ga@20 ga@100 a@20 ");
    EXPECT_NE(AllRefusals(Prepared(std::string(CityFields) +
                                   "<detail><band height='10'><staticText><reportElement x='0' "
                                   "y='0' width='5' height='5' printWhenGroupChanges='Nope'/>"
                                   "</staticText></band></detail>"))
                  .find("\"Nope\""),
              std::string::npos);
}

TEST(Layout, BlankLinesAreRemovedWhenAsked) {
    const Report r = Prepared(std::string(CityFields) + R"(
        <detail><band height="40">
            <textField><reportElement x="0" y="0" width="50" height="10" isRemoveLineWhenBlank="true">
                    <printWhenExpression>$F{N} == 1</printWhenExpression></reportElement>
                <textFieldExpression>"first"</textFieldExpression></textField>
            <textField><reportElement x="0" y="10" width="50" height="10" isRemoveLineWhenBlank="true">
                    <printWhenExpression>$F{N} != 2</printWhenExpression></reportElement>
                <textFieldExpression>"second"</textFieldExpression></textField>
            <textField><reportElement x="60" y="10" width="50" height="10">
                    <printWhenExpression>$F{N} == 3</printWhenExpression></reportElement>
                <textFieldExpression>"beside"</textFieldExpression></textField>
            <textField><reportElement x="0" y="20" width="50" height="10"/>
                <textFieldExpression>"end" + $F{N}</textFieldExpression></textField>
        </band></detail>)");
    ASSERT_TRUE(r.refusals.empty()) << AllRefusals(r);
    // Row 1 keeps all 40 points; row 2 loses both blank strips (20), row 3
    // only the first: "beside" shares the second strip.
    EXPECT_EQ(Positions(Items(r, Cities({"x", "x", "x"}))),
              "first@20 second@30 end1@40 end2@60 second@80 beside@80 end3@90 ");
}

TEST(Styles, RotatedTextRunsAlongItsBox) {
    const auto inkBox = [](const std::string& rotation) {
        Report r = Prepared(
            "<style name='Turned' rotation='" + rotation +
            "'/><title><band height='200'><staticText><reportElement x='0' y='0' width='30' "
            "height='200' style='Turned'/><textElement><font size='14'/></textElement>"
            "<text>WWWWWW</text></staticText></band></title>");
        r.whenNoData = Report::NoData::AllSectionsNoDetail;
        EXPECT_TRUE(r.refusals.empty()) << AllRefusals(r);
        const QImage page = Render(r);
        QRect ink;
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < page.width(); ++x)
                if (page.pixelColor(x, y).lightness() < 128) ink |= QRect(x, y, 1, 1);
        return ink;
    };
    const QRect upright = inkBox("None"), left = inkBox("Left"), right = inkBox("Right");
    EXPECT_GT(upright.width(), upright.height() / 4); // wrapped into the narrow box
    EXPECT_GT(left.height(), 3 * left.width());       // one line running upwards
    EXPECT_GT(right.height(), 3 * right.width());
    // The line starts at the box's bottom when turned Left, at its top when turned Right.
    EXPECT_GT(left.center().y(), 120) << left.top() << "-" << left.bottom();
    EXPECT_LT(right.center().y(), 120) << right.top() << "-" << right.bottom();
    EXPECT_NE(AllRefusals(Prepared("<style name='A' rotation='Diagonal'/>")).find("Diagonal"),
              std::string::npos);
}
