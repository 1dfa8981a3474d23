#include "printengine/bundle.h"

#include "report_test_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace printengine;
using namespace printengine::test;

namespace {

using Entries = std::unordered_map<std::string, std::string>;

Entries Parse(const QByteArray& text) {
    Entries e;
    ParseProperties(text, e);
    return e;
}

// Sets the program's locale for one test.
class LocaleScope {
  public:
    explicit LocaleScope(const QLocale& locale) { QLocale::setDefault(locale); }
    ~LocaleScope() { QLocale::setDefault(previous_); }

  private:
    QLocale previous_;
};

class BundleFolder : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    void Write(const QString& name, const QByteArray& text) {
        QFile f(dir_.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    // The report `body` read from the folder, with `attributes` on its root.
    Report Read(const std::string& attributes, const std::string& body) {
        std::string xml = Jrxml(body);
        xml.insert(xml.find("uuid=\"1\""), attributes + " ");
        auto r = ParseJrxml(QByteArray::fromStdString(xml), dir_.path());
        if (!r) return Report{};
        PrepareReport(*r);
        return std::move(*r);
    }
    // The texts one row prints.
    std::string Printed(const Report& r) {
        if (!r.refusals.empty()) return "refused: " + r.refusals.front();
        try {
            const auto pages = FillTexts(r, {{}});
            return pages.empty() ? std::string() : pages.front();
        } catch (const FillError& e) {
            return std::string("error: ") + e.what();
        }
    }
    QTemporaryDir dir_;
};

} // namespace

TEST(Properties, SeparatorsCommentsAndBlanks) {
    const auto e = Parse("# comment = no\n"
                         "  ! also a comment\n"
                         "\n"
                         "a=1\n"
                         "b : two words  \n"
                         "c three\n"
                         "   d\t=\t4\n"
                         "e=\n"
                         "f\n"
                         "g==x:y\n"
                         "a=last wins\r\n"
                         "h=crlf\r"
                         "i=cr only");
    EXPECT_EQ(e.at("a"), "last wins");
    EXPECT_EQ(e.at("b"), "two words  "); // blanks after the value stay
    EXPECT_EQ(e.at("c"), "three");
    EXPECT_EQ(e.at("d"), "4");
    EXPECT_EQ(e.at("e"), "");
    EXPECT_EQ(e.at("f"), "");
    EXPECT_EQ(e.at("g"), "=x:y"); // only the first separator counts
    EXPECT_EQ(e.at("h"), "crlf");
    EXPECT_EQ(e.at("i"), "cr only");
    EXPECT_EQ(e.size(), 9u);
}

TEST(Properties, EscapesAndContinuedLines) {
    const auto e = Parse("key\\ with\\:odd\\=chars = v\n"
                         "tabs=a\\tb\\nc\\rd\\fe\n"
                         "uni=\\u00e9t\\u00C9 \\ud83d\\ude00\n"
                         "other=\\q\\\\\n"
                         "long=one, \\\n"
                         "      two, \\\n"
                         "   \\ three\n"
                         "even=ends in a backslash\\\\\n"
                         "next=separate\n"
                         "# a comment line does not continue \\\n"
                         "after=comment\n"
                         "bad=\\u12\n"
                         "last=open \\");
    EXPECT_EQ(e.at("key with:odd=chars"), "v");
    EXPECT_EQ(e.at("tabs"), "a\tb\nc\rd\fe");
    EXPECT_EQ(e.at("uni"), "\xC3\xA9t\xC3\x89 \xF0\x9F\x98\x80");
    EXPECT_EQ(e.at("other"), "q\\");
    EXPECT_EQ(e.at("long"), "one, two,  three"); // the escaped blank is kept
    EXPECT_EQ(e.at("even"), "ends in a backslash\\");
    EXPECT_EQ(e.at("next"), "separate");
    EXPECT_EQ(e.at("after"), "comment");
    EXPECT_EQ(e.at("bad"), "u12"); // a broken escape is kept, not a failure
    EXPECT_EQ(e.at("last"), "open ");
}

TEST(Properties, Utf8OrLatin1) {
    EXPECT_EQ(Parse("k=K\xC3\xB6ln").at("k"), "K\xC3\xB6ln");
    // Not valid UTF-8: the whole file is ISO-8859-1, as older bundles are.
    EXPECT_EQ(Parse("k=K\xF6ln\nm=\xE9t\xE9").at("m"), "\xC3\xA9t\xC3\xA9");
}

TEST(Locales, JavaNamesAndBundleFiles) {
    EXPECT_EQ(JavaLocaleName(QLocale(QLocale::German, QLocale::Germany)), "de_DE");
    EXPECT_EQ(JavaLocaleName(QLocale::c()), "en_US");
    EXPECT_EQ(
        BundleFileNames("i18n", QLocale(QLocale::French, QLocale::Canada)),
        (std::vector<QString>{"i18n_fr_CA.properties", "i18n_fr.properties", "i18n.properties"}));
    EXPECT_EQ(BundleFileNames("com.acme.Texts", QLocale::c()).front(),
              "com/acme/Texts_en_US.properties");
}

TEST_F(BundleFolder, EachKeyFromTheMostSpecificFileThatHasIt) {
    Write("msgs.properties", "a=base a\nb=base b\nc=base c\n");
    Write("msgs_de.properties", "b=de b\nc=de c\n");
    Write("MSGS_DE_AT.PROPERTIES", "c=de_AT c\n"); // found in spite of its case
    Write("msgs_fr.properties", "a=fr a\n");
    MessageBundle b;
    ASSERT_TRUE(LoadBundle(dir_.path(), "msgs", QLocale(QLocale::German, QLocale::Austria), b));
    EXPECT_EQ(b.entries, (Entries{{"a", "base a"}, {"b", "de b"}, {"c", "de_AT c"}}));
    MessageBundle swiss;
    ASSERT_TRUE(
        LoadBundle(dir_.path(), "msgs", QLocale(QLocale::German, QLocale::Switzerland), swiss));
    EXPECT_EQ(*swiss.Find("c"), "de c");
    MessageBundle english;
    ASSERT_TRUE(LoadBundle(dir_.path(), "msgs", QLocale::c(), english));
    EXPECT_EQ(*english.Find("a"), "base a");
    EXPECT_EQ(english.Find("d"), nullptr);
    MessageBundle none;
    EXPECT_FALSE(LoadBundle(dir_.path(), "other", QLocale::c(), none));
    EXPECT_FALSE(LoadBundle(dir_.path(), "../msgs", QLocale::c(), none));
}

TEST_F(BundleFolder, ReportTextsComeFromTheBundle) {
    Write("t.properties", "hello=Hello {0}!\nimage=us.gif\n");
    Write("t_de_DE.properties", "hello=Hallo {0}!\n");
    const std::string body =
        "<detail>" +
        BandXml("msg($R{hello}, \"Ann\") + \" \" + $R{image} + \" \" + str(\"image\")") +
        "</detail>";
    {
        const LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
        EXPECT_EQ(Printed(Read("resourceBundle=\"t\"", body)), "Hallo Ann! us.gif us.gif");
    }
    EXPECT_EQ(Printed(Read("resourceBundle=\"t\"", body)), "Hello Ann! us.gif us.gif");
}

TEST_F(BundleFolder, AMissingKeyGivesWhatTheReportAsks) {
    Write("t.properties", "known=yes\n");
    const std::string body = "<detail>" + BandXml("\"[\" + $R{nope} + \"]\"") + "</detail>";
    EXPECT_EQ(Printed(Read("resourceBundle=\"t\"", body)), "[null]");
    EXPECT_EQ(Printed(Read("resourceBundle=\"t\" whenResourceMissingType=\"Empty\"", body)), "[]");
    EXPECT_EQ(Printed(Read("resourceBundle=\"t\" whenResourceMissingType=\"Key\"", body)),
              "[nope]");
    EXPECT_EQ(Printed(Read("resourceBundle=\"t\" whenResourceMissingType=\"Error\"", body)),
              "error: Error evaluating the expression \"\"[\" + $R{nope} + \"]\"\": Resource not "
              "found for key \"nope\".");
    // No bundle at all: every key is missing.
    EXPECT_EQ(Printed(Read("whenResourceMissingType=\"Key\"", body)), "[nope]");
    EXPECT_EQ(Printed(Read("whenResourceMissingType=\"Sometimes\"", body)),
              "refused: The report uses the value \"Sometimes\" of the attribute "
              "\"whenResourceMissingType\" of \"jasperReport\" (line 2), which the report engine "
              "does not support.");
    EXPECT_EQ(Printed(Read("resourceBundle=\"gone\"", body)),
              "refused: The report uses the message bundle \"gone\" (line 2), which is not beside "
              "the report (gone.properties).");
    // str() needs its key when the report is read.
    const Report r = Read("resourceBundle=\"t\"",
                          "<detail>" + BandXml("str($P{K})") + "</detail><parameter name=\"K\"/>");
    ASSERT_EQ(r.refusals.size(), 1u);
    EXPECT_NE(r.refusals[0].find("str() with anything but a key in quotes"), std::string::npos);
}

TEST_F(BundleFolder, ReportLocaleAndParametersMap) {
    const std::string body =
        R"(<parameter name="Title" class="java.lang.String"><defaultValueExpression>"T1"</defaultValueExpression></parameter>)"
        "<detail>" +
        BandXml("$P{REPORT_LOCALE} + \"|\" + $P{REPORT_LOCALE}.getLanguage() + \"|\" + "
                "$P{REPORT_LOCALE}.getCountry() + \"|\" + "
                "$P{REPORT_LOCALE}.getDisplayName($P{REPORT_LOCALE}) + \"|\" + "
                "$P{REPORT_PARAMETERS_MAP}.get(\"Title\") + \"|\" + "
                "$P{REPORT_PARAMETERS_MAP}.get(\"Nobody\") + \"|\" + "
                "String.format($P{REPORT_LOCALE}, \"%.1f\", 2.5)") +
        "</detail>";
    {
        const LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
        EXPECT_EQ(Printed(Read("", body)), "de_DE|de|DE|Deutsch (Deutschland)|T1|null|2,5");
    }
    EXPECT_EQ(Printed(Read("", body)), "en_US|en|US|English (United States)|T1|null|2.5");
    const std::string other =
        "<detail>" +
        BandXml("new java.util.Locale(\"FR\", \"fr\").getDisplayName(new Locale(\"en\")) + \"|\" "
                "+ new Locale(\"fr\", \"FR\").getDisplayLanguage(new Locale(\"fr\", \"FR\"))") +
        "</detail>";
    EXPECT_EQ(Printed(Read("", other)), "French (France)|français");
    // The map itself has no value here.
    const Report bare = Read("", "<detail>" + BandXml("$P{REPORT_PARAMETERS_MAP}") + "</detail>");
    ASSERT_EQ(bare.refusals.size(), 1u);
    EXPECT_NE(bare.refusals[0].find("$P{REPORT_PARAMETERS_MAP} of the class java.util.Map"),
              std::string::npos);
}
