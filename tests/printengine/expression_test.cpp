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
    for (const char* text : {"new java.util.Date()", "$F{A}.length()", "$X{A}", "$F{A", "\"open",
                             "1 +", "(1", "1 2", "a.b", "$F{}", "1 % 2", "\"\\q\""}) {
        EXPECT_THROW(Expression::Parse(text), ExpressionError) << text;
    }
    try {
        Expression::Parse("$F{A}.trim()");
        FAIL();
    } catch (const ExpressionError& e) {
        EXPECT_NE(std::string(e.what()).find("trim()"), std::string::npos);
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
