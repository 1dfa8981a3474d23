#include "printengine/expression.h"

#include <gtest/gtest.h>

#include <map>

using namespace printengine;

namespace {

// Evaluates `text` with $F{A} = 7, $F{S} = "abc", $F{N} = null, $P{X} = 2.5,
// and the money $F{M} = 123456789012345.6789, $F{L} = -0.0001.
Value Eval(const std::string& text) {
    static const std::map<std::string, Value> values = {
        {"A", std::int64_t{7}},
        {"S", std::string("abc")},
        {"N", engine::Null{}},
        {"X", 2.5},
        {"M", engine::Currency{1234567890123456789}},
        {"L", engine::Currency{-1}}};
    std::vector<Value> slots;
    Expression e = Expression::Parse(text);
    e.Bind([&](RefKind, const std::string& name) {
        slots.push_back(values.at(name));
        return int(slots.size() - 1);
    });
    return e.Evaluate([&](RefKind, int slot) -> const Value& { return slots[size_t(slot)]; });
}

std::string Text(const std::string& text) {
    return JavaText(Eval(text));
}

} // namespace

TEST(Expression, ArithmeticFollowsJavaTypes) {
    EXPECT_EQ(Eval("1 + 2 * 3"), Value(std::int64_t{7}));
    EXPECT_EQ(Eval("(1 + 2) * 3"), Value(std::int64_t{9}));
    EXPECT_EQ(Eval("7 / 2"), Value(std::int64_t{3})); // whole numbers divide whole
    EXPECT_EQ(Eval("7.0 / 2"), Value(3.5));
    EXPECT_EQ(Eval("$F{A} - 10"), Value(std::int64_t{-3}));
    EXPECT_EQ(Eval("-$P{X} * 2"), Value(-5.0));
    EXPECT_EQ(Eval("2L + 1"), Value(std::int64_t{3}));
    EXPECT_THROW(Eval("1 / 0"), ExpressionError);
    // Overflow of whole numbers continues in floating point rather than wrapping.
    EXPECT_EQ(Eval("9223372036854775807 + 1"), Value(9223372036854775808.0));
}

TEST(Expression, MoneyAddsExactlyLikeABigDecimal) {
    EXPECT_EQ(Text("$F{M} + $F{L}"), "123456789012345.6788");
    EXPECT_EQ(Text("$F{M} - $F{M} - $F{L}"), "0.0001");
    EXPECT_EQ(Text("$F{M} + 1"), "123456789012346.6789");
    EXPECT_EQ(Text("-$F{L}"), "0.0001");
    EXPECT_EQ(Text("\"= \" + $F{M}"), "= 123456789012345.6789");
    EXPECT_EQ(Eval("$F{L} < 0"), Value(true));
    EXPECT_EQ(Eval("$F{M} + $F{L} < $F{M}"), Value(true)); // beyond a double's digits
    EXPECT_EQ(Eval("$F{L} * 2"), Value(-0.0002));          // other operators: a double
    EXPECT_EQ(Text("$F{M} + $F{M}"), "246913578024691.3578");
}

TEST(Expression, StringsConcatenateLikeJava) {
    EXPECT_EQ(Text("\"Page \" + $F{A}"), "Page 7");
    EXPECT_EQ(Text("\"x\" + $F{N}"), "xnull");
    EXPECT_EQ(Text("\"v\" + 3.0"), "v3.0");
    EXPECT_EQ(Text("1 + 2 + \"a\""), "3a");
    EXPECT_EQ(Text("'single' + \"\\\"q\\\"\""), "single\"q\"");
    EXPECT_EQ(Text("$F{S}.toUpperCase()"), "ABC");
    EXPECT_EQ(Text("\"köln\".toUpperCase()"), "KÖLN");
    EXPECT_EQ(Text("$F{A}.toString() + 1"), "71");
    EXPECT_THROW(Eval("$F{A}.toUpperCase()"), ExpressionError);
    EXPECT_TRUE(engine::IsNull(Eval("$F{N} + 1")));
}

TEST(Expression, ComparisonsAndConditions) {
    EXPECT_EQ(Eval("$F{A} > 5 ? \"big\" : \"small\""), Value(std::string("big")));
    EXPECT_EQ(Eval("$F{A} == 7.0"), Value(true));
    EXPECT_EQ(Eval("$F{S} == \"abc\" && !($F{A} != 7)"), Value(true));
    EXPECT_EQ(Eval("$F{S} < \"abd\""), Value(true));
    EXPECT_EQ(Eval("$F{N} == null"), Value(true));
    EXPECT_EQ(Eval("$F{N} > 1"), Value(false));
    EXPECT_EQ(Eval("1 <= 1 || 1 / 0 > 0"), Value(true)); // short-circuit
    EXPECT_EQ(Eval("true ? 1 : false ? 2 : 3"), Value(std::int64_t{1}));
    EXPECT_THROW(Eval("$F{S} < 3"), ExpressionError);
    EXPECT_THROW(Eval("$F{A} ? 1 : 2"), ExpressionError);
}

TEST(Expression, RejectsWhatIsOutsideTheLanguage) {
    for (const char* text : {"new java.util.HashMap()",
                             "$F{A}.frobnicate()",
                             "$X{A}",
                             "$F{A",
                             "\"open",
                             "1 +",
                             "(1",
                             "1 2",
                             "a.b",
                             "$F{}",
                             "1 >>> 2",
                             "\"\\q\"",
                             "$F{S}.length",
                             "Integer.NOPE",
                             "Math.cbrt(2)",
                             "FOO(1)",
                             "new",
                             "\"\\u12\"",
                             "$F{A} instanceof 3",
                             "String.valueOf(1"}) {
        EXPECT_THROW(Expression::Parse(text), ExpressionError) << text;
    }
    // Unknown methods, functions and classes are named.
    const std::pair<const char*, const char*> named[] = {
        {"$F{A}.frobnicate()", "the method frobnicate()"},
        {"FOO(1)", "the function FOO()"},
        {"java.util.Arrays.asList(1)", "the method java.util.Arrays.asList()"},
        {"new java.util.ArrayList()", "the class java.util.ArrayList after new"},
    };
    for (const auto& [text, part] : named) {
        try {
            Expression::Parse(text);
            ADD_FAILURE() << text;
        } catch (const ExpressionError& e) {
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
    }
}

TEST(Expression, DeepNestingIsRefusedNotAStackOverflow) {
    EXPECT_THROW(Expression::Parse(std::string(100000, '(') + "1"), ExpressionError);
    EXPECT_THROW(Expression::Parse(std::string(100000, '-') + "1"), ExpressionError);
    EXPECT_NO_THROW(Expression::Parse(std::string(50, '(') + "1" + std::string(50, ')')));
    // Long flat chains nest just as deeply when evaluated.
    std::string chain = "1";
    for (int i = 0; i < 100000; ++i)
        chain += "+1";
    EXPECT_THROW(Expression::Parse(chain), ExpressionError);
    std::string calls = "\"a\"";
    for (int i = 0; i < 100000; ++i)
        calls += ".toString()";
    EXPECT_THROW(Expression::Parse(calls), ExpressionError);
    EXPECT_EQ(Eval("1" + std::string(100, '+') + "1"), Value(std::int64_t{2})); // unary pluses
}

TEST(Expression, ReferencesAreListed) {
    Expression e = Expression::Parse("$F{A} + $P{X} + $V{PAGE_NUMBER}");
    std::vector<std::string> seen;
    e.ForEachReference([&](RefKind kind, const std::string& name) {
        seen.push_back(std::string(kind == RefKind::Field       ? "F"
                                   : kind == RefKind::Parameter ? "P"
                                                                : "V") +
                       name);
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"FA", "PX", "VPAGE_NUMBER"}));
    EXPECT_TRUE(Expression::Parse("   ").Empty());
}

TEST(Expression, JavaTextOfNumbers) {
    EXPECT_EQ(JavaText(Value(1.0)), "1.0");
    EXPECT_EQ(JavaText(Value(0.1)), "0.1");
    EXPECT_EQ(JavaText(Value(1e7)), "1.0E7");
    EXPECT_EQ(JavaText(Value(1.5e-5)), "1.5E-5");
    EXPECT_EQ(JavaText(Value(std::int64_t{-12})), "-12");
    EXPECT_EQ(JavaText(Value(engine::DateTime{2026, 11, 2, 0, 0, 0})), "2026-11-02");
}

// ---- the Java subset: methods, statics, constructors, casts, built-ins ----------

TEST(JavaStrings, MethodsOfString) {
    EXPECT_EQ(Text("$F{S}.substring(0, 1).toUpperCase() + $F{S}.substring(1)"), "Abc");
    EXPECT_EQ(Text("\"Straße\".substring(4)"), "ße"); // characters, not bytes
    EXPECT_EQ(Eval("$F{S}.equals(\"abc\")"), Value(true));
    EXPECT_EQ(Eval("$F{S}.equals($F{N})"), Value(false));
    EXPECT_EQ(Eval("$F{S}.equalsIgnoreCase(\"ABC\")"), Value(true));
    EXPECT_EQ(Eval("$F{S}.contains(\"bc\") && $F{S}.startsWith(\"a\") && !$F{S}.endsWith(\"b\")"),
              Value(true));
    EXPECT_EQ(Eval("\"banana\".indexOf(\"an\")"), Value(std::int64_t{1}));
    EXPECT_EQ(Eval("\"banana\".indexOf(\"an\", 2)"), Value(std::int64_t{3}));
    EXPECT_EQ(Eval("\"banana\".lastIndexOf(\"an\")"), Value(std::int64_t{3}));
    EXPECT_EQ(Eval("\"banana\".indexOf(\"x\")"), Value(std::int64_t{-1}));
    EXPECT_EQ(Text("\"a.b.c\".replace(\".\", \"-\")"), "a-b-c"); // literal, not a pattern
    EXPECT_EQ(Text("\"a1b22c\".replaceAll(\"[0-9]+\", \"#\")"), "a#b#c");
    EXPECT_EQ(Text("\"John Smith\".replaceAll(\"(\\\\w+) (\\\\w+)\", \"$2, $1\")"), "Smith, John");
    EXPECT_EQ(Text("\"a1b2\".replaceFirst(\"\\\\d\", \"\\\\$\")"), "a$b2");
    EXPECT_EQ(Text("\"x,y,,z,,\".split(\",\")[3]"), "z");
    EXPECT_EQ(Text("\"  pad \".trim() + \"|\""), "pad|");
    EXPECT_EQ(Eval("\"Köln\".length()"), Value(std::int64_t{4}));
    EXPECT_EQ(Eval("\"\".isEmpty()"), Value(true));
    EXPECT_EQ(Text("\"ÄBC\".toLowerCase()"), "äbc");
    EXPECT_EQ(Text("$F{S}.charAt(2)"), "c");
    EXPECT_EQ(Text("$F{S}.concat(\"d\")"), "abcd");
    EXPECT_EQ(Eval("\"2026-11\".matches(\"\\\\d{4}-\\\\d{2}\")"), Value(true));
    EXPECT_EQ(Eval("\"a\".compareTo(\"b\") < 0"), Value(true));
    // Wrong indexes and patterns fail with what went wrong.
    EXPECT_THROW(Eval("$F{S}.substring(2, 9)"), ExpressionError);
    EXPECT_THROW(Eval("$F{S}.charAt(-1)"), ExpressionError);
    EXPECT_THROW(Eval("$F{S}.replaceAll(\"(\", \"\")"), ExpressionError);
    EXPECT_THROW(Eval("$F{S}.split(\",\")[5]"), ExpressionError);
    EXPECT_THROW(Eval("$F{S}.substring(\"1\")"), ExpressionError);
    EXPECT_THROW(Eval("$F{S}.substring()"), ExpressionError);
}

TEST(JavaStrings, NullTargetsFailAndNullChecksWork) {
    try {
        Eval("$F{N}.substring(1)");
        FAIL();
    } catch (const ExpressionError& e) {
        EXPECT_NE(std::string(e.what()).find("substring() called on null"), std::string::npos);
    }
    EXPECT_EQ(Text("$F{N} != null ? $F{N}.trim() : \"-\""), "-");
    EXPECT_EQ(Text("$F{N} == null || $F{N}.isEmpty() ? \"empty\" : \"full\""), "empty");
    EXPECT_EQ(Text("\"v=\" + $F{N}"), "v=null");
}

TEST(JavaNumbers, MethodsOfNumbersAndBigDecimal) {
    EXPECT_EQ(Eval("$P{X}.intValue()"), Value(std::int64_t{2}));
    EXPECT_EQ(Eval("$F{A}.doubleValue()"), Value(7.0));
    EXPECT_EQ(Eval("$F{A}.compareTo(9)"), Value(std::int64_t{-1}));
    EXPECT_EQ(Eval("$F{A}.equals(7)"), Value(true));
    EXPECT_EQ(Eval("$P{X}.add(new java.math.BigDecimal(\"0.25\"))"), Value(2.75));
    EXPECT_EQ(Eval("$P{X}.subtract(1).multiply(2)"), Value(3.0));
    EXPECT_EQ(Eval("new BigDecimal(10).divide(new BigDecimal(3), 2, BigDecimal.ROUND_HALF_UP)"),
              Value(3.33));
    EXPECT_EQ(Eval("new BigDecimal(2).divide(new BigDecimal(3), 3, RoundingMode.DOWN)"),
              Value(0.666));
    EXPECT_EQ(Eval("new BigDecimal(\"2.675\").setScale(2, BigDecimal.ROUND_HALF_UP)"), Value(2.68));
    EXPECT_EQ(Eval("new BigDecimal(\"2.665\").setScale(2, RoundingMode.HALF_EVEN)"), Value(2.66));
    EXPECT_EQ(Eval("new BigDecimal(\"-2.5\").setScale(0, RoundingMode.HALF_UP)"), Value(-3.0));
    EXPECT_EQ(Eval("new BigDecimal(\"-1.5\").abs().negate()"), Value(-1.5));
    EXPECT_EQ(Eval("new BigDecimal(\"-0.1\").signum()"), Value(std::int64_t{-1}));
    EXPECT_EQ(Eval("7 % 3"), Value(std::int64_t{1}));
    EXPECT_EQ(Eval("-7 % 3"), Value(std::int64_t{-1})); // the sign of the dividend, as in Java
    EXPECT_EQ(Eval("7.5 % 2"), Value(1.5));
    EXPECT_THROW(Eval("5 % 0"), ExpressionError);
    EXPECT_THROW(Eval("$P{X}.divide(0)"), ExpressionError);
}

TEST(JavaStatics, StaticCallsAndConstants) {
    EXPECT_EQ(Text("\"Page \" + String.valueOf($F{A})"), "Page 7");
    EXPECT_EQ(Text("String.valueOf($F{N})"), "null");
    EXPECT_EQ(Eval("Integer.valueOf(\"42\") + 1"), Value(std::int64_t{43}));
    EXPECT_EQ(Eval("java.lang.Integer.parseInt(\" -5 \")"), Value(std::int64_t{-5}));
    EXPECT_EQ(Eval("Long.valueOf($F{A})"), Value(std::int64_t{7}));
    EXPECT_EQ(Eval("Double.valueOf(\"2.5\") * 2"), Value(5.0));
    EXPECT_EQ(Eval("Double.parseDouble(\"1e3\")"), Value(1000.0));
    EXPECT_EQ(Eval("Boolean.valueOf(\"TRUE\")"), Value(true));
    EXPECT_EQ(Eval("Boolean.parseBoolean(\"yes\")"), Value(false));
    EXPECT_EQ(Eval("Boolean.TRUE"), Value(true));
    EXPECT_EQ(Eval("Integer.MAX_VALUE"), Value(std::int64_t{2147483647}));
    EXPECT_EQ(Eval("Math.abs(-3)"), Value(std::int64_t{3}));
    EXPECT_EQ(Eval("Math.round(2.5)"), Value(std::int64_t{3}));
    EXPECT_EQ(Eval("Math.round(-2.5)"), Value(std::int64_t{-2})); // Java rounds half up
    EXPECT_EQ(Eval("Math.floor(2.7) + Math.ceil(2.1)"), Value(5.0));
    EXPECT_EQ(Eval("Math.max($F{A}, 3)"), Value(std::int64_t{7}));
    EXPECT_EQ(Eval("Math.min($P{X}, 3)"), Value(2.5));
    EXPECT_EQ(Eval("Math.pow(2, 10)"), Value(1024.0));
    EXPECT_THROW(Eval("Integer.parseInt(\"4x\")"), ExpressionError);
    EXPECT_THROW(Eval("Integer.valueOf($F{N})"), ExpressionError);
}

TEST(JavaStatics, StringFormatOfTheCommonForms) {
    EXPECT_EQ(Text("String.format(\"%s has %d items\", $F{S}, $F{A})"), "abc has 7 items");
    EXPECT_EQ(Text("String.format(\"%.2f\", $P{X})"), "2.50");
    EXPECT_EQ(Text("String.format(\"%,.2f\", 1234567.891)"), "1,234,567.89");
    EXPECT_EQ(Text("String.format(\"%05d|%-4s|%4s\", 42, \"ab\", \"cd\")"), "00042|ab  |  cd");
    EXPECT_EQ(Text("String.format(\"%2$s-%1$s %%\", \"a\", \"b\")"), "b-a %");
    EXPECT_EQ(Text("String.format(\"%x %S\", 255, \"up\")"), "ff UP");
    EXPECT_EQ(Text("String.format(new java.util.Locale(\"en\", \"US\"), \"%d\", 5)"), "5");
    EXPECT_THROW(Eval("String.format(\"%d\", 2.5)"), ExpressionError);
    EXPECT_THROW(Eval("String.format(\"%s %s\", 1)"), ExpressionError);
}

TEST(JavaConstructors, DatesFormatsAndBoxes) {
    const Value now = Eval("new java.util.Date()");
    ASSERT_TRUE(std::holds_alternative<engine::DateTime>(now));
    EXPECT_GE(std::get<engine::DateTime>(now).year, 2024);
    EXPECT_EQ(Text("new java.text.SimpleDateFormat(\"dd.MM.yyyy\").format(new Date(0L)).length()"),
              "10");
    EXPECT_EQ(Text("new SimpleDateFormat(\"yyyy\").format(DATE(2026, 3, 4))"), "2026");
    EXPECT_EQ(Text("new java.text.DecimalFormat(\"#,##0.00\").format(1234.5)"), "1,234.50");
    EXPECT_EQ(Eval("new Integer(\"12\")"), Value(std::int64_t{12}));
    EXPECT_EQ(Eval("new Double(3)"), Value(3.0));
    EXPECT_EQ(Text("new String(\"s\")"), "s");
    EXPECT_EQ(Eval("new Boolean(\"true\")"), Value(true));
    EXPECT_EQ(Eval("new Date(86400000L).getTime() == 86400000L"), Value(true));
    EXPECT_EQ(Eval("DATE(2026, 1, 2).before(DATE(2026, 1, 3))"), Value(true));
    EXPECT_EQ(Eval("DATE(2026, 1, 2).after(DATE(2026, 1, 3))"), Value(false));
    EXPECT_THROW(Eval("new SimpleDateFormat(\"yyyy\")"), ExpressionError); // not a value to show
    EXPECT_THROW(Eval("new SimpleDateFormat(\"yyyy\").parse(\"2026\")"), ExpressionError);
}

TEST(JavaCasts, CastsAndInstanceof) {
    EXPECT_EQ(Eval("((Integer) $F{A}).intValue() + 1"), Value(std::int64_t{8}));
    EXPECT_EQ(Eval("(java.lang.Integer)$P{X}"), Value(std::int64_t{2}));
    EXPECT_EQ(Eval("(Double) $F{A}"), Value(7.0));
    EXPECT_EQ(Eval("(String) $F{N} == null"), Value(true));
    EXPECT_EQ(Eval("(int) 2.9"), Value(std::int64_t{2}));
    EXPECT_EQ(Eval("((String) $F{S}).length()"), Value(std::int64_t{3}));
    EXPECT_EQ(Eval("(1 + 2) * 3"), Value(std::int64_t{9})); // parentheses, not a cast
    EXPECT_THROW(Eval("(String) $F{A}"), ExpressionError);
    EXPECT_EQ(Eval("$F{S} instanceof String"), Value(true));
    EXPECT_EQ(Eval("$F{A} instanceof java.lang.Number && !($F{A} instanceof Double)"), Value(true));
    EXPECT_EQ(Eval("$F{N} instanceof Object"), Value(false));
}

TEST(JasperFunctions, BuiltInFunctions) {
    EXPECT_EQ(Text("DATEFORMAT(DATE(2026, 11, 2), \"dd/MM/yyyy\")"), "02/11/2026");
    EXPECT_TRUE(engine::IsNull(Eval("DATEFORMAT($F{N}, \"yyyy\")")));
    EXPECT_TRUE(std::holds_alternative<engine::DateTime>(Eval("NOW()")));
    EXPECT_EQ(std::get<engine::DateTime>(Eval("TODAY()")).hour, 0);
    EXPECT_EQ(Text("IF($F{A} > 5, \"big\", 1 / 0)"), "big"); // only the chosen branch
    EXPECT_EQ(Text("CONCATENATE(\"a\", $F{A}, $F{N}, \"b\")"), "a7b");
    EXPECT_EQ(Eval("LEN(\"four\")"), Value(std::int64_t{4}));
    EXPECT_EQ(Text("UPPER(\"a\") + LOWER(\"B\") + TRIM(\" c \")"), "Abc");
    EXPECT_EQ(Eval("SUM(1, 2, 3)"), Value(std::int64_t{6}));
    EXPECT_EQ(Eval("SUM(1, 2.5)"), Value(3.5));
    EXPECT_EQ(Eval("ROUND(2.345, 2)"), Value(2.35));
    EXPECT_EQ(Eval("ROUND(2.5)"), Value(std::int64_t{3}));
    EXPECT_EQ(Eval("ABS(-2)"), Value(std::int64_t{2}));
    EXPECT_EQ(Text("TEXT(1234.5, \"#,##0.00\")"), "1,234.50");
    EXPECT_EQ(Text("msg(\"{0} of {1}, ''{2}''\", \"Page\", 3, $F{S})"), "Page of 3, 'abc'");
    EXPECT_EQ(Text("LEFT(\"abcdef\", 2) + MID(\"abcdef\", 3, 2) + RIGHT(\"abcdef\", 1)"), "abcdf");
    EXPECT_EQ(Eval("ISNULL($F{N})"), Value(true));
    EXPECT_EQ(Eval("YEAR(DATE(2026, 11, 2)) * 100 + MONTH(DATE(2026, 11, 2))"),
              Value(std::int64_t{202611}));
    EXPECT_THROW(Eval("IF(true, 1)"), ExpressionError);
    EXPECT_THROW(Eval("LEN(5)"), ExpressionError);
}

TEST(Expression, JavaUnicodeEscapesInTexts) {
    EXPECT_EQ(Text("\"\\u0393\\u0394\""), "ΓΔ");
    EXPECT_EQ(Text("\"\\ud83d\\ude00\""), "😀");
    EXPECT_EQ(Text("\"tab\\there\""), "tab\there");
}
